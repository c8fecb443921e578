#!/usr/bin/env bash
# Checks a release by rebuilding it from the commits this checkout releases
# (the branch origin/HEAD names or --ref BRANCH, and with --signers the tags
# a key of that allowed-signers file signed), and says
# whether every file is the publisher's: verify.py says how, and what it
# refuses. The release folder is taken as hostile: nothing in it is run or
# unpacked by a tool, nothing is installed, and everything after copying the
# folder runs in a bubblewrap sandbox, without network, as an account no
# other process uses (started as root: a fresh uid, or --as USER).
#
# Every signed file's signer is named. With --publisher, every signed file
# of the release (both programs in the ZIP, the MSI) must carry an accepted
# signature made by the certificate whose SHA-256 fingerprint is given (of
# its DER, as `openssl x509 -noout -fingerprint -sha256` prints it; any
# case, colons allowed). A time stamp counts only from an authority whose
# root is in the system's store or given with --tsa-root (a PEM file). With
# --signers FILE (OpenSSH allowed signers), SHA256SUMS.sig must be a
# signature of SHA256SUMS by a key of that file.
#
# Usage: scripts/release/verify.sh [--signers FILE] [--publisher SHA256]
#        [--ref BRANCH] [--tsa-root FILE]... [--as USER] [--seconds N]
#        RELEASE_FOLDER
# The last line is the verdict: "reproduced" (exit code 0), "not reproduced"
# (1) or "cannot check: WHY" (2).
set -u
if [ ! -x /usr/bin/python3 ]; then
    echo "cannot check: missing python3: install python3 (apt-get install, as root)"
    exit 2
fi
exec /usr/bin/python3 "$(dirname "$0")/verify.py" "$@"
