#!/usr/bin/env bash
# Installs the Debian packages (Debian 12 or 13) the build and the tests need,
# when missing; with "build", only those that building and packaging a
# release needs (build_needs below).
# Runs unattended; needs root (or sudo) only when something is missing.
# With QUENDARIX_NO_INSTALL=1 it installs nothing: a missing package ends it
# with one line and exit code 1.
# Usage: scripts/install-deps.sh [build]
set -euo pipefail

# What building and packaging a release runs, and the Debian package that
# brings it: COMMAND PACKAGE, one a line; a Python module of /usr/bin/python3
# as python3:MODULE. scripts/release/verify.py reads this table to find every
# one before it rebuilds a release, and installs nothing.
build_needs='
cmake cmake
cpack cmake
make make
x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64
x86_64-w64-mingw32-objdump binutils-mingw-w64-x86-64
python3 python3
python3:pefile python3-pefile
python3:debian python3-debian
python3:asn1crypto python3-asn1crypto
python3:cryptography python3-cryptography
osslsigncode osslsigncode
openssl openssl
strip-nondeterminism strip-nondeterminism
wixl wixl
msibuild msitools
msiinfo msitools
faketime faketime
git git
'
build=()
while read -r _ package; do
    [ -n "$package" ] || continue
    [[ " ${build[*]} " == *" $package "* ]] || build+=("$package")
done <<<"$build_needs"

packages=(
    "${build[@]}"                        # building and packaging a release
    libgtest-dev                         # host unit tests (clang below)
    wine64                               # end-to-end tests and the main job
    reprotest diffoscope-minimal         # checking that a release rebuilds to the same bytes
    clang libclang-rt-dev                # fuzzing (libFuzzer, sanitizers)
    clang-tidy cppcheck                  # static analysis
    libengine-pkcs11-openssl python3-pykcs11  # signing with a token or HSM
    softhsm2 opensc                      # a software token for the signing tests
    mmdebstrap                           # the fresh roots of scripts/test-fresh-root.sh
    hyperfine                            # benchmarks
    unzip                                # checking a release
    bubblewrap util-linux                # the rebuild check's sandbox, and its setpriv as root
    openssh-client                       # the release key: SHA256SUMS.sig and signed tags (ssh-keygen -Y)
    locales                              # Wine in a double-byte code page (ja_JP.UTF-8: 932)
)
case "${1-}" in
    "") ;;
    build) packages=("${build[@]}") ;;
    *) echo "usage: scripts/install-deps.sh [build]" >&2; exit 2 ;;
esac

# The SBOM's schema check runs the CycloneDX project's validator (npm); a
# node and npm already installed from elsewhere serve as well.
[ "${1-}" = build ] || command -v npm >/dev/null || packages+=(nodejs npm)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

if [ ${#missing[@]} -gt 0 ] && [ "${QUENDARIX_NO_INSTALL-}" = 1 ]; then
    echo "install-deps.sh: missing ${missing[*]}; not installing them (QUENDARIX_NO_INSTALL=1)" >&2
    exit 1
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine takes its ANSI code page from the locale: the double-byte tests run
# in ja_JP.UTF-8, which must be generated.
if [ "${1-}" != build ] && ! locale -a 2>/dev/null | grep -qx 'ja_JP\.utf8'; then
    echo "Generating the locale ja_JP.UTF-8"
    "${as_root[@]}" sed -i 's/^# *\(ja_JP\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -qx 'ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | "${as_root[@]}" tee -a /etc/locale.gen >/dev/null
    "${as_root[@]}" locale-gen >/dev/null
fi
