#!/usr/bin/env bash
# Installs the Debian packages (Debian 12 or 13) the build and the tests need,
# when missing.
# Runs unattended; needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
    cmake make libgtest-dev              # host build and unit tests (clang below)
    g++-mingw-w64-x86-64-posix           # the Windows programs
    wine64                               # end-to-end tests and the main job
    python3 python3-pefile               # artifact checks, the SBOM
    reprotest diffoscope-minimal         # checking that a release rebuilds to the same bytes
    clang libclang-rt-dev                # fuzzing (libFuzzer, sanitizers)
    clang-tidy cppcheck                  # static analysis
    osslsigncode openssl                 # release signing, and its throwaway test key
    libengine-pkcs11-openssl python3-pykcs11 python3-cryptography  # signing with a token or HSM
    python3-asn1crypto                   # checking signatures and time stamps
    python3-debian                       # Debian's copyright files, for the SBOM and the notices
    softhsm2 opensc                      # a software token for the signing tests
    strip-nondeterminism                 # reproducible release ZIP
    wixl msitools faketime               # the Windows Installer package, reproducible
    mmdebstrap                           # the fresh roots of scripts/test-fresh-root.sh
    hyperfine                            # benchmarks
    git unzip                            # the release's time stamp; checking a release
    locales                              # Wine in a double-byte code page (ja_JP.UTF-8: 932)
)

# The SBOM's schema check runs the CycloneDX project's validator (npm); a
# node and npm already installed from elsewhere serve as well.
command -v npm >/dev/null || packages+=(nodejs npm)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine takes its ANSI code page from the locale: the double-byte tests run
# in ja_JP.UTF-8, which must be generated.
if ! locale -a 2>/dev/null | grep -qx 'ja_JP\.utf8'; then
    echo "Generating the locale ja_JP.UTF-8"
    "${as_root[@]}" sed -i 's/^# *\(ja_JP\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -qx 'ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | "${as_root[@]}" tee -a /etc/locale.gen >/dev/null
    "${as_root[@]}" locale-gen >/dev/null
fi
