#!/usr/bin/env bash
# Undoes tools/install.sh for the current user: stops and disables the
# service, removes its unit and the program files. The settings, data and
# certificates in the program folder stay unless --purge is given; --purge
# removes the whole folder and the service's local CA from the user's NSS
# database and Firefox profiles (only when the entry there is that CA), and
# from the system store when it was put there (SystemTrust=1: the file named
# after this CA; removing it takes root). ZELKORH_SYSTEM_CA_DIR names another
# system store folder (the tests' own).
#
#   bash tools/uninstall.sh [--purge]
set -euo pipefail

purge=0
case ${1:-} in
  --purge) purge=1 ;;
  "") ;;
  -h|--help) sed -n '2,/^set -e/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;;
  *) echo "uninstall.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
esac

dest=${ZELKORH_DIR:-$HOME/.local/share/zelkorh}
unit=${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user/zelkorh.service

if command -v systemctl >/dev/null && systemctl --user show-environment >/dev/null 2>&1; then
  systemctl --user disable --now zelkorh.service 2>/dev/null || true
fi
rm -f "$unit"
if command -v systemctl >/dev/null && systemctl --user show-environment >/dev/null 2>&1; then
  systemctl --user daemon-reload
fi

# The CA's entry carries the nickname "ca.pem"; another program's entry of
# that name is left alone.
untrust() {
  local db=$1
  command -v certutil >/dev/null && [ -f "$dest/ca.pem" ] || return 0
  local entry
  entry=$(certutil -L -d "$db" -n ca.pem -a 2>/dev/null) || return 0
  if [ "$(printf '%s\n' "$entry" | openssl x509 -outform DER 2>/dev/null | sha256sum)" = \
       "$(openssl x509 -in "$dest/ca.pem" -outform DER 2>/dev/null | sha256sum)" ]; then
    certutil -D -d "$db" -n ca.pem && echo "removed the local CA from $db"
  fi
}

# The system store's copy is named after the CA file's fingerprint: exactly
# the one this installation added.
untrust_system() {
  [ -f "$dest/ca.pem" ] || return 0
  local copy
  copy=${ZELKORH_SYSTEM_CA_DIR:-/usr/local/share/ca-certificates}/ZelkorH-local-ca-$(sha256sum "$dest/ca.pem" | cut -c1-16).crt
  [ -f "$copy" ] || return 0
  if rm -f "$copy" 2>/dev/null && [ ! -e "$copy" ]; then
    [ -n "${ZELKORH_SYSTEM_CA_DIR:-}" ] || ! command -v update-ca-certificates >/dev/null ||
      update-ca-certificates --fresh >/dev/null 2>&1 || true
    echo "removed the local CA from the system store ($copy)"
  else
    echo "the local CA stays in the system store: remove it as root with" >&2
    echo "  sudo rm $copy && sudo update-ca-certificates --fresh" >&2
  fi
}

if ((purge)); then
  untrust_system
  untrust "sql:$HOME/.pki/nssdb"
  for profile in "${XDG_CONFIG_HOME:-$HOME/.config}"/mozilla/firefox/*/ "$HOME"/.mozilla/firefox/*/ \
                 "$HOME"/snap/firefox/common/.mozilla/firefox/*/; do
    [ -f "$profile/cert9.db" ] && untrust "sql:${profile%/}"
  done
  rm -rf "$dest"
  echo "ZelkorH removed with its data ($dest)"
else
  rm -f "$dest"/ZelkorH "$dest"/libZelkorD.so "$dest"/ZelkorH.ini "$dest"/digest.txt
  # What an interrupted update may have left: staged files, set-aside files, the installing copy.
  rm -f "$dest"/*.~ "$dest"/*.bak "$dest"/ZelkorH.~~~
  rm -rf "$dest"/Updates
  echo "ZelkorH removed; its settings and data stay in $dest (--purge removes them)"
fi
