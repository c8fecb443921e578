#!/usr/bin/env bash
# Runs the README's two commands as a new user would, in a fresh Debian root:
# makes the root with mmdebstrap (only apt and ca-certificates in it), copies
# this tree (with its git history) into it, and there runs
# scripts/main-job.sh and scripts/test.sh as written, which install that
# release's own packages. A machine that already has a package proves
# nothing about installing it; a fresh root does. Everything is unmounted
# and removed on every way out.
#
# Usage: scripts/test-fresh-root.sh 12|13   (Debian 12 bookworm, 13 trixie)
#
# Needs root (mmdebstrap's root mode, mount, chroot). Says so and fails
# rather than pass when it cannot run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)

fail() {
    echo "test-fresh-root.sh: $*" >&2
    exit 1
}
case "${1-}" in
    12) suite=bookworm ;;
    13) suite=trixie ;;
    *) fail "usage: scripts/test-fresh-root.sh 12|13 (the Debian release to test in)" ;;
esac
release=$1
[ "$(id -u)" -eq 0 ] || fail "needs root (mmdebstrap --mode=root, mount, chroot); nothing was tested"
for tool in mount umount chroot; do
    command -v "$tool" >/dev/null || fail "no $tool on this machine; nothing was tested"
done
command -v mmdebstrap >/dev/null || "$root/scripts/install-deps.sh"

work=$(mktemp -d -t "quendarix-debian$release-XXXXXX")
target="$work/root"
# The root itself first: bound onto itself, so that its "/" is a mount
# point, as a machine's is (bubblewrap, which the rebuild check runs,
# cannot make a mount namespace of a root that is not one).
mounts=(. proc sys dev dev/pts dev/shm)
# Ends every process whose root is the fresh root (apt, Wine, the tests).
end_processes_inside() {
    local process
    for process in /proc/[0-9]*; do
        [ "$(readlink "$process/root" 2>/dev/null)" = "$target" ] && kill -KILL "${process#/proc/}" 2>/dev/null
    done
    return 0
}
cleanup() {
    local status=$? mount
    trap - EXIT INT TERM
    end_processes_inside
    sleep 1
    end_processes_inside
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        mount="$target/${mounts[i]}"
        if mountpoint -q "$mount"; then umount "$mount" || umount -l "$mount"; fi
    done
    for mount in "${mounts[@]}"; do
        mountpoint -q "$target/$mount" && { echo "test-fresh-root.sh: $target/$mount is still mounted" >&2; exit 1; }
    done
    rm -rf --one-file-system "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "Making a fresh Debian $release ($suite) root..."
started=$SECONDS
mmdebstrap --quiet --mode=root --variant=apt --include=ca-certificates "$suite" "$target"
root_made=$((SECONDS - started))
cp /etc/hosts /etc/resolv.conf "$target/etc/"
# Certificate authorities this machine adds to Debian's own (a proxy's, say)
# are trusted in the root as well, so that npm reaches its registry.
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
    cp /usr/local/share/ca-certificates/*.crt "$target/usr/local/share/ca-certificates/"
    chroot "$target" update-ca-certificates >/dev/null 2>&1
fi
mount --bind "$target" "$target"
mount -t proc proc "$target/proc"
mount --bind /sys "$target/sys"
mount --bind /dev "$target/dev"
mount --bind /dev/pts "$target/dev/pts"
# Shared memory open to every account, as on a machine of its own
# (faketime's semaphores live there).
mount --bind /dev/shm "$target/dev/shm"

# The tree as it is, build output left behind.
mkdir "$target/quendarix"
tar -C "$root" --exclude=./build -cf - . | tar -C "$target/quendarix" -xf -

# Waited for in the background, so that a signal ends the wait at once.
chroot "$target" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    ROOT_MADE="$root_made" bash -c 'cd /quendarix && git config --global --add safe.directory /quendarix 2>/dev/null || true
             set -e; . /etc/os-release && echo "In $PRETTY_NAME:"
             started=$SECONDS; bash scripts/main-job.sh; main_job=$((SECONDS - started))
             started=$SECONDS; bash scripts/test.sh
             echo "Times in the fresh root: making it ${ROOT_MADE} s, main job (with installing the packages) ${main_job} s, tests $((SECONDS - started)) s"' &
wait $!
echo "Debian $release: the main job and every test passed in a fresh root."
