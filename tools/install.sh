#!/usr/bin/env bash
# Installs ZelkorH for the current user: copies the program folder to
# ~/.local/share/zelkorh, writes the systemd user unit zelkorh.service and
# enables and starts it. At its first start the service makes its local CA and
# adds it to the user's NSS database and Firefox profiles.
#
#   bash tools/install.sh [--from DIR] [--with-demo] [--no-start]
#
#   --from DIR    the program folder to install (default: build/bin, built first when missing)
#   --with-demo   also copy the demo certificate and key file (password demo1234) into Cert/
#   --no-start    write the files only; do not ask systemd to enable and start the service
#
# Installing again replaces the program files and keeps the settings, data and
# certificates. ZELKORH_DIR and XDG_CONFIG_HOME choose other folders.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

from=
demo=0
start=1
while (($#)); do
  case $1 in
    --from) from=$2; shift 2 ;;
    --with-demo) demo=1; shift ;;
    --no-start) start=0; shift ;;
    -h|--help) sed -n '2,/^set -e/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;;
    *) echo "install.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done

program_files=(ZelkorH libZelkorD.so ZelkorH.ini digest.txt)
if [ -z "$from" ]; then
  from=$repo/build/bin
  if [ ! -x "$from/ZelkorH" ]; then
    echo "== building the service (needs the packages of tools/install-deps.sh)"
    cmake -S "$repo" -B "$repo/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$repo/build" -j"$(nproc)" --target ZelkorH ZelkorD zelkor_digest
  fi
fi
for name in "${program_files[@]}"; do
  [ -f "$from/$name" ] || { echo "install.sh: $from/$name is missing" >&2; exit 1; }
done

dest=${ZELKORH_DIR:-$HOME/.local/share/zelkorh}
# The folder is written into the unit: no blanks, systemd specifiers or quotes there.
if [[ $dest != /* || $dest =~ [[:space:]%\\\"\'\|] ]]; then
  echo "install.sh: the program folder must be an absolute path without blanks, %, quotes, | or \\: $dest" >&2
  exit 1
fi
units=${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user
unit=$units/zelkorh.service

have_systemd() { ((start)) && command -v systemctl >/dev/null && systemctl --user show-environment >/dev/null 2>&1; }

# A running service keeps its files open: stop it while they are replaced.
if have_systemd; then systemctl --user stop zelkorh.service 2>/dev/null || true; fi

umask 077
mkdir -p "$dest" "$units" "$HOME/.pki/nssdb"
for name in "${program_files[@]}"; do
  case $name in ZelkorH.ini | digest.txt) mode=0644 ;; *) mode=0755 ;; esac
  install -m "$mode" "$from/$name" "$dest/.$name.new"
  mv -f "$dest/.$name.new" "$dest/$name"
done
if ((demo)); then
  mkdir -p "$dest/Cert"
  for file in "$from"/Cert/demo-*; do
    [ -e "$dest/Cert/$(basename "$file")" ] || install -m 0600 "$file" "$dest/Cert/"
  done
fi

sed -e "s|@PROGRAM_DIR@|$dest|g" -e "s|@PREPARE@|/bin/mkdir -p %h/.pki/nssdb $dest|" \
  "$repo/packaging/zelkorh.service.in" > "$unit.new"
mv -f "$unit.new" "$unit"
chmod 0644 "$unit"
echo "ZelkorH installed in $dest; unit: $unit"

if have_systemd; then
  systemctl --user daemon-reload
  systemctl --user enable --now zelkorh.service
  echo "The service runs now and starts with every login (systemctl --user status zelkorh)."
elif ((start)); then
  echo "No systemd user session here: start it with 'systemctl --user daemon-reload && systemctl --user enable --now zelkorh'."
fi
