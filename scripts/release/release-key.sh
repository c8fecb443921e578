# The release key, for scripts/package.sh, which sources this file, calls
# resolve_release_key before it changes folder, check_release_key before the
# build and sign_sums FILE last:
#   QUENDARIX_RELEASE_KEY   an OpenSSH private key file, or the public key
#                           of a private key that ssh-agent holds (a key in
#                           a token, say).
# FILE (SHA256SUMS) is signed with it as FILE.sig, an SSH signature in the
# namespace "file" (ssh-keygen -Y sign), checked before the run ends. A
# passphrase is asked for by ssh-keygen itself, once at most, on the terminal
# or through SSH_ASKPASS: never on a command line, never in an environment.
# Without the variable nothing is signed. Needs: fail (one line, exit 1).

resolve_release_key() {
    [ -z "${QUENDARIX_RELEASE_KEY:-}" ] || QUENDARIX_RELEASE_KEY=$(realpath -m -- "$QUENDARIX_RELEASE_KEY")
}

check_release_key() {
    local key=${QUENDARIX_RELEASE_KEY:-}
    [ -n "$key" ] || return 0
    command -v ssh-keygen >/dev/null || fail "QUENDARIX_RELEASE_KEY is set but ssh-keygen is missing: install openssh-client"
    [ -f "$key" ] && [ -r "$key" ] || fail "cannot read the release key '$key'"
    ssh-keygen -l -f "$key" </dev/null >/dev/null 2>&1 || fail "the release key '$key' is not an OpenSSH key"
    if ! grep -q -- "^-----BEGIN " "$key"; then  # a public key: its private half in the agent
        ssh-add -L 2>/dev/null | grep -qF -- "$(cut -d ' ' -f 1,2 "$key")" ||
            fail "ssh-agent holds no private key for the release key '$key': add it with ssh-add"
    fi
}

sign_sums() {
    [ -n "${QUENDARIX_RELEASE_KEY:-}" ] || return 0
    ssh-keygen -Y sign -q -f "$QUENDARIX_RELEASE_KEY" -n file "$1" ||
        fail "signing $(basename "$1") with the release key '$QUENDARIX_RELEASE_KEY' failed"
    ssh-keygen -Y check-novalidate -q -n file -s "$1.sig" <"$1" >/dev/null ||
        fail "the signature $(basename "$1").sig does not check"
}
