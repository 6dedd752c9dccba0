#!/usr/bin/env bash
# Publishes a program folder as an update, or writes its local digest list.
#
#   make-update.sh PROGRAM_DIR OUT_DIR [--signer CERT.pem --key KEY.pem] [FILE...]
#       copies the files into OUT_DIR (the update server's folder, served as
#       <UpdateUrl>/<name>) with their digest list digest.txt, and, with a
#       signer, its detached CMS signature digest.txt.sig (the certificate is
#       the one installations name in UpdateSigner).
#   make-update.sh --digest-only PROGRAM_DIR [FILE...]
#       writes PROGRAM_DIR/digest.txt: the list an installation compares the
#       server's list with.
#
# FILE defaults to the program files: ZelkorH libZelkorD.so ZelkorH.ini.
# The list: one "<md5> <name>" line per file, CR LF.
set -euo pipefail

usage() { sed -n '2,15p' "$0" >&2; exit 2; }
digest_only=0
if [[ ${1:-} == --digest-only ]]; then digest_only=1; shift; fi
(($# >= 1)) || usage
src=$1; shift
out=$src
if ((!digest_only)); then (($# >= 1)) || usage; out=$1; shift; fi
signer="" key=""
while [[ ${1:-} == --* ]]; do
  case $1 in
    --signer) signer=$2; shift 2 ;;
    --key) key=$2; shift 2 ;;
    *) usage ;;
  esac
done
[[ -n $signer && -z $key || -z $signer && -n $key ]] && usage
files=("$@")
((${#files[@]})) || files=(ZelkorH libZelkorD.so ZelkorH.ini)

mkdir -p "$out"
list=$(mktemp)
trap 'rm -f "$list"' EXIT
for name in "${files[@]}"; do
  [[ $name == */* || $name == *..* ]] && { echo "make-update: '$name' is not a plain file name" >&2; exit 1; }
  sum=$(md5sum < "$src/$name" | cut -d' ' -f1)
  printf '%s %s\r\n' "$sum" "$name" >> "$list"
  if ((!digest_only)) && [[ $src != "$out" ]]; then cp -p "$src/$name" "$out/$name"; fi
done
install -m 0644 "$list" "$out/digest.txt"
if [[ -n $signer ]]; then
  openssl cms -sign -binary -outform DER -in "$out/digest.txt" -signer "$signer" -inkey "$key" \
    -out "$out/digest.txt.sig"
fi
