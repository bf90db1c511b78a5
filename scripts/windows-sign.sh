#!/usr/bin/env bash
# windows-sign.sh FILE...: signs Windows programs in place with Authenticode
# (SHA-256) through osslsigncode. What to sign with comes from the
# environment, which scripts/windows.sh sets:
#   QSN_SIGN_CERT           the certificate and its key, a PKCS#12 file
#   QSN_SIGN_PASSWORD       its password, or
#   QSN_SIGN_PASSWORD_FILE  a file holding it (neither: no password)
#   QSN_SIGN_TIMESTAMP      an RFC 3161 timestamp server's URL (optional)
# The password never becomes an argument of a program: every user of the
# machine can read the arguments of every process, but not its environment
# or the signer's standard input.
set -euo pipefail

cert=${QSN_SIGN_CERT:?QSN_SIGN_CERT names no certificate}
[ -f "$cert" ] || { echo "windows-sign: no certificate file $cert" >&2; exit 1; }
password_file=${QSN_SIGN_PASSWORD_FILE:-}
[ -z "$password_file" ] || [ -r "$password_file" ] ||
  { echo "windows-sign: cannot read the password file $password_file" >&2; exit 1; }

for file in "$@"; do
  args=(sign -pkcs12 "$cert" -h sha256 -n qsnclient -in "$file" -out "$file.signed")
  [ -z "${QSN_SIGN_TIMESTAMP:-}" ] || args+=(-ts "$QSN_SIGN_TIMESTAMP")
  # An empty password is no password: osslsigncode refuses to read one.
  if [ -n "${QSN_SIGN_PASSWORD:-}" ]; then
    printf '%s' "$QSN_SIGN_PASSWORD" | osslsigncode "${args[@]}" -readpass - >/dev/null
  elif [ -n "$password_file" ] && [ -s "$password_file" ]; then
    osslsigncode "${args[@]}" -readpass "$password_file" >/dev/null
  else
    osslsigncode "${args[@]}" >/dev/null
  fi || { rm -f "$file.signed"; echo "windows-sign: signing $file failed" >&2; exit 1; }
  mv "$file.signed" "$file"
done
