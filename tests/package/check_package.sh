#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree, unpacks it into a scratch root
# and checks what a user would get: the program, its menu entry and icon, and the packages
# it needs at run time.
#   check_package.sh BUILD_DIR SOURCE_DIR VERSION
# grep reads to the end of its input everywhere here: with pipefail, grep -q would let the
# writer die of SIGPIPE now and then and fail the check.
set -euo pipefail

build=${1:?build folder}
source=${2:?source folder}
version=${3:?project version}
package=newsbench

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
need() { command -v "$1" >/dev/null || { echo "FAIL: $1 not found (scripts/deps.sh test installs $2)" >&2; exit 1; }; }

need cpack cmake
need dpkg-deb dpkg
need desktop-file-validate desktop-file-utils
need objdump binutils
need python3 python3
[[ -f "$build/CPackConfig.cmake" ]] || { echo "FAIL: no CPackConfig.cmake in $build" >&2; exit 1; }
[[ -f "$source/packaging/package.cmake" ]] || { echo "FAIL: no packaging/ in $source" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/newsbench-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# A private output folder, so parallel runs and the developer's own packages stay apart.
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" </dev/null >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    echo "FAIL: cpack -G DEB" >&2
    exit 1
fi
shopt -s nullglob
debs=("$scratch/out/${package}_"*.deb)
shopt -u nullglob
[[ ${#debs[@]} -eq 1 ]] || { ls -l "$scratch/out" >&2; echo "FAIL: expected one ${package}_*.deb" >&2; exit 1; }
deb=${debs[0]}
arch=$(dpkg --print-architecture)
[[ $(basename "$deb") == "${package}_${version}_${arch}.deb" ]] \
    && pass "file name $(basename "$deb")" || fail "file name $(basename "$deb"), expected ${package}_${version}_${arch}.deb"

# Control fields.
dpkg-deb -I "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == "$package" ]] && pass "Package" || fail "Package is '$(field Package)'"
[[ $(field Version) == "$version" ]] && pass "Version $version" || fail "Version is '$(field Version)', expected $version"
[[ $(field Architecture) == "$arch" ]] && pass "Architecture $arch" || fail "Architecture is '$(field Architecture)'"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] && pass "Maintainer" || fail "Maintainer is '$(field Maintainer)'"
[[ -n $(field Section) ]] && pass "Section $(field Section)" || fail "no Section"
[[ -n $(field Description) ]] && pass "Description" || fail "no Description"

# Depends: every package named, with or without a version.
depends=$(field Depends)
declared() { tr ',|' '\n\n' <<<"$depends" | sed -E 's/\(.*\)//; s/:any//; s/[[:space:]]//g' | grep -x "$1" >/dev/null; }
for dependency in qt6-qpa-plugins fonts-ipafont-gothic xdg-utils \
                  libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6; do
    declared "$dependency" && pass "Depends $dependency" || fail "Depends lacks $dependency: $depends"
done

# The files.
root="$scratch/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -c "$deb"
binary="$root/usr/bin/$package"
if [[ -f "$binary" && -x "$binary" ]]; then
    pass "usr/bin/$package executable"
    # Every Qt library the program links is a declared package (libQt6Foo.so.6 is libqt6foo6).
    while read -r library; do
        name=$(sed -E 's/^lib(Qt6[A-Za-z]+)\.so\.([0-9]+)$/lib\1\2/' <<<"$library" | tr '[:upper:]' '[:lower:]')
        declared "$name" && pass "links $library, Depends $name" || fail "links $library but Depends lacks $name"
    done < <(objdump -p "$binary" | awk '$1 == "NEEDED" && $2 ~ /^libQt6/ { print $2 }')
    # Stripping must keep the section the report heading reads the version from.
    objdump -h "$binary" | grep '\.newsbench_version' >/dev/null \
        && pass "version record kept" || fail "the packaged binary lost .newsbench_version"
else
    fail "usr/bin/$package missing or not executable"
fi

shopt -s nullglob
launchers=("$root/usr/share/applications/"*.desktop)
shopt -u nullglob
if [[ ${#launchers[@]} -ne 1 ]]; then
    fail "expected one launcher in usr/share/applications, found ${#launchers[@]}"
else
    launcher=${launchers[0]}
    pass "launcher ${launcher#"$root"}"
    desktop-file-validate "$launcher" && pass "desktop-file-validate" || fail "desktop-file-validate ${launcher#"$root"}"
    # A key of the [Desktop Entry] group, exactly as written.
    key() {
        awk -v key="$1" '
            /^\[/ { group = $0; next }
            group == "[Desktop Entry]" && index($0, key "=") == 1 { print substr($0, length(key) + 2); exit }
        ' "$launcher"
    }
    [[ -n $(key Name) ]] && pass "Name=$(key Name)" || fail "no Name"
    [[ $(key 'Name[ja]') == "ニュースサーバ・ベンチマーク" ]] && pass "Name[ja]" || fail "Name[ja] is '$(key 'Name[ja]')'"
    [[ -n $(key Comment) ]] && pass "Comment" || fail "no Comment"
    [[ -n $(key 'Comment[ja]') ]] && pass "Comment[ja]" || fail "no Comment[ja]"
    [[ $(key Type) == Application ]] && pass "Type" || fail "Type is '$(key Type)'"
    [[ $(key Terminal) == false ]] && pass "Terminal=false" || fail "Terminal is '$(key Terminal)'"
    [[ ";$(key Categories)" == *";Network;"* ]] && pass "Categories $(key Categories)" || fail "Categories lack Network: '$(key Categories)'"

    # Exec runs the installed program: its command is the binary's name or its /usr path.
    command=$(key Exec | awk '{ print $1 }')
    case "$command" in
    "$package" | "/usr/bin/$package") pass "Exec=$(key Exec)" ;;
    *) fail "Exec is '$(key Exec)', expected $package" ;;
    esac
    [[ -x "$root/usr/bin/${command##*/}" ]] || fail "Exec names ${command##*/}, not in usr/bin"

    # Icon names an icon installed in the hicolor theme, scalable as SVG.
    icon=$(key Icon)
    svg="$root/usr/share/icons/hicolor/scalable/apps/$icon.svg"
    if [[ -n "$icon" && "$icon" != */* && -f "$svg" ]]; then
        pass "Icon=$icon, ${svg#"$root"}"
        python3 - "$svg" <<'EOF' && pass "icon is SVG" || fail "${svg#"$root"} is not an SVG document"
import sys
import xml.etree.ElementTree as ElementTree
root = ElementTree.parse(sys.argv[1]).getroot()
sys.exit(0 if root.tag == "{http://www.w3.org/2000/svg}svg" and root.get("viewBox") else 1)
EOF
    else
        fail "Icon is '$icon' and no usr/share/icons/hicolor/scalable/apps/$icon.svg"
    fi
fi

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package $(basename "$deb") passed"
