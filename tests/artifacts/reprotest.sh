#!/usr/bin/env bash
# Builds the release twice with reprotest, the second time with the
# reproducible-builds project's variations of the build's environment (time,
# time zone, locale, umask, environment variables, home folder, CPU count,
# build path, kernel, ASLR, host and domain name, exec path), and requires
# the same bytes. Left out, as these machines cannot make them: file
# ordering (disorderfs needs FUSE) and user and group (needs a second
# account); and host and domain name where a user namespace cannot be made
# (`unshare -r`: the kernel refuses one inside a chroot, such as the fresh
# roots of scripts/test-fresh-root.sh), which is said. The tree is built as it
# is, uncommitted changes included.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd -P)
work=$(mktemp -d -t quendarix-reprotest-XXXXXX)
trap 'rm -rf "$work"' EXIT

mkdir "$work/tree"
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 cp --parents --no-dereference -t "$work/tree" 2>/dev/null || true)
cd "$work/tree"
vary=-fileordering,-user_group
if ! unshare -r --uts true 2>/dev/null; then
    vary+=,-domain_host
    echo "reprotest: no user namespace here (a chroot?): host and domain name are not varied"
fi
reprotest --vary="$vary" --store-dir="$work/differences" \
    'bash scripts/package.sh out' 'out/*' >"$work/reprotest.log" 2>&1 || {
    grep -v '^ ' "$work/reprotest.log" | tail -n 60
    find "$work/differences" -name '*.out' -exec head -n 60 {} + 2>/dev/null || true
    echo "reprotest: a build failed, or the release's bytes depend on the build environment (above)"
    exit 1
}
sed -n '/^=* *$/,$p' "$work/reprotest.log" | grep -v '^$' | tail -n 8
