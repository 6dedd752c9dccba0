#!/usr/bin/env bash
# Builds the Debian package zelkorh from a built program folder:
#   bash tools/build-deb.sh [PROGRAM FOLDER] [OUTPUT FOLDER]
# (defaults: build/bin and build/packages). Prints the package's path.
# Only the built programs come from the program folder; everything else from
# the source tree.
# Contents: the program folder template in /usr/lib/zelkorh (with
# zelkorh-prepare, which copies it into the user's folder at each start when
# needed), the systemd user unit in /usr/lib/systemd/user, the documentation.
# Dependencies come from the libraries the programs link (dpkg-shlibdeps).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
bin=$(realpath "${1:-$repo/build/bin}")
out=$(realpath -m "${2:-$repo/build/packages}")

version=$(sed -n 's/^project(ZelkorH VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
arch=$(dpkg --print-architecture)
[ -n "$version" ] || { echo "build-deb.sh: no version in CMakeLists.txt" >&2; exit 1; }
for name in ZelkorH libZelkorD.so; do
  [ -f "$bin/$name" ] || { echo "build-deb.sh: $bin/$name is missing (build first)" >&2; exit 1; }
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root=$stage/root
lib=$root/usr/lib/zelkorh
doc=$root/usr/share/doc/zelkorh
install -d -m 0755 "$lib" "$root/usr/lib/systemd/user" "$doc" "$root/DEBIAN"
# Stripped, as Debian installs programs; the debug information stays in the build.
install -m 0755 "$bin/ZelkorH" "$lib/ZelkorH"
install -m 0644 "$bin/libZelkorD.so" "$lib/libZelkorD.so"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$lib/ZelkorH" "$lib/libZelkorD.so"
# The parameter file as shipped, not the program folder's copy (which a user
# may have edited, adding a token module, say).
install -m 0644 "$repo/zelkord/ZelkorH.ini" "$lib/ZelkorH.ini"
# The digest list of the files as packaged (stripped), for the automatic update.
bash "$repo/tools/update/make-update.sh" --digest-only "$lib"
install -m 0755 "$repo/packaging/zelkorh-prepare" "$lib/zelkorh-prepare"
sed -e 's|@PROGRAM_DIR@|%h/.local/share/zelkorh|g' -e 's|@PREPARE@|/usr/lib/zelkorh/zelkorh-prepare /usr/lib/zelkorh|' \
  "$repo/packaging/zelkorh.service.in" > "$root/usr/lib/systemd/user/zelkorh.service"
chmod 0644 "$root/usr/lib/systemd/user/zelkorh.service"
install -m 0644 "$repo/packaging/deb/copyright" "$doc/copyright"
# One changelog entry, dated by the last commit (the same tree gives the same package).
when=$(git -C "$repo" log -1 --format=%ct 2>/dev/null || date +%s)
printf 'zelkorh (%s) unstable; urgency=medium\n\n  * Built from the ZelkorH source tree.\n\n -- ZelkorH developers <dev@zelkorh.invalid>  %s\n' \
  "$version" "$(LC_ALL=C date -u -R -d "@$when")" | gzip -9n > "$doc/changelog.gz"
chmod 0644 "$doc/changelog.gz"
install -m 0755 "$repo/packaging/deb/postinst" "$repo/packaging/deb/prerm" "$repo/packaging/deb/postrm" "$root/DEBIAN/"

# Dependencies of the two binaries, as Debian's own packaging finds them.
mkdir -p "$stage/debian"
printf 'Source: zelkorh\n\nPackage: zelkorh\nArchitecture: any\n' > "$stage/debian/control"
shlibs=$(cd "$stage" && dpkg-shlibdeps -O -l"$lib" "$lib/ZelkorH" "$lib/libZelkorD.so" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || { echo "build-deb.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s|@VERSION@|$version|" -e "s|@ARCH@|$arch|" -e "s|@SIZE@|$size|" -e "s|@SHLIBS@|$shlibs|" \
  "$repo/packaging/deb/control.in" > "$root/DEBIAN/control"

(cd "$root" && find usr -type f -exec md5sum {} + | LC_ALL=C sort -k2) > "$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/md5sums"

mkdir -p "$out"
find "$root" -exec touch -h -d "@$when" {} +
package=$out/zelkorh_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$package" >/dev/null
echo "$package"
