#!/usr/bin/env bash
# Includes run one way: a folder includes only its own headers and those of
# the layers below it. Layers, bottom first: platform, base, provider,
# discovery, commands, update, http, host (resources: the fixed documents for
# http, and the tray icon for host).
# Commands and the discovery reach the provider through its façade only
# (provider/Operations.h), never the binding (provider/Provider.h); the
# provider library (zelkord) sees the contract header and platform only.
# Within commands/, each command family (a folder of commands: keys, signing,
# containers, tokens, datastore, service) includes no other family's files:
# what several families use lives below them, in commands/ itself or in a
# module folder (signer, protected, ocsp), which includes no family.
# Prints every include that breaks the rule; exits 1 when there is one.
set -euo pipefail
cd "${1:-$(dirname "$0")/../..}"
layers=(platform base provider discovery commands update http host)
rank() { local i; for i in "${!layers[@]}"; do [[ ${layers[$i]} == "$1" ]] && { echo "$i"; return; }; done; echo -1; }

bad=0
report() { echo "$1: includes \"$2\" ($3)"; bad=1; }
for layer in "${layers[@]}"; do
  mine=$(rank "$layer")
  while IFS=: read -r file target; do
    dir=${target%%/*}
    [[ $dir == "$target" ]] && continue  # a header beside the file
    if [[ $dir == resources ]]; then
      [[ $layer == http || $layer == host ]] || report "$file" "$target" "resources belong to the front end and the host"
      continue
    fi
    theirs=$(rank "$dir")
    if (( theirs < 0 )); then
      report "$file" "$target" "not a layer"
    elif (( theirs > mine )); then
      report "$file" "$target" "$dir is above $layer"
    elif [[ ($layer == commands || $layer == discovery) && $target == provider/Provider.h ]]; then
      report "$file" "$target" "commands and discovery call the provider through provider/Operations.h"
    fi
  done < <(grep -rHoE '^#include "[^"]+"' --include='*.h' --include='*.cpp' "$layer" | sed -E 's/#include "([^"]+)"/\1/')
done
families=" keys signing containers tokens datastore service "
while IFS=: read -r file target; do
  from=$(cut -d/ -f2 <<< "$file")
  to=$(cut -d/ -f2 <<< "$target")
  [[ $target == commands/*/* && $from != "$to" && $families == *" $to "* ]] || continue
  if [[ $families == *" $from "* ]]; then
    report "$file" "$target" "command families do not include each other's files"
  else
    report "$file" "$target" "the modules below the command families include no family"
  fi
done < <(grep -rHoE '^#include "[^"]+"' --include='*.h' --include='*.cpp' commands/*/ | sed -E 's/#include "([^"]+)"/\1/')
while IFS=: read -r file target; do
  case $target in
    zelkord/* | platform/* | provider/ZelkorD.h) ;;
    *) report "$file" "$target" "the provider library sees the contract and platform only" ;;
  esac
done < <(grep -rHoE '^#include "[^"]+"' --include='*.h' --include='*.cpp' zelkord | sed -E 's/#include "([^"]+)"/\1/')
if (( bad == 0 )); then echo "layering: every include runs downward"; fi
exit "$bad"
