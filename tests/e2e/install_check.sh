#!/bin/sh
# Installs the build into a scratch DESTDIR with the /usr prefix, as the Debian package
# does, and checks the installed tree: every file where it belongs, the installed
# program's --help and the desktop entry accepted by its validator. Then installs it
# under a scratch prefix of its own, where the unit (which names the installed program)
# is checked by systemd's verifier, and the program installed there answers a call with
# a greeting that only the sound library loaded from its own library directory can
# convert, and opens its options form from the settings library there. A missing
# validator skips its check with a note.
#   install_check.sh <build dir> <e2e test program>
set -eu
build=$1
e2e=$2
scratch=$(mktemp -d "${ORVELIN_TEST_TMP:-/tmp}/install-XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
dest="$scratch/dest"
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$dest" cmake --install "$build" --prefix /usr >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log" >&2; fail "cmake --install"; }

for f in usr/bin/orvelin usr/lib/orvelin/libtessaly.so usr/lib/orvelin/libsundrel.so \
    usr/lib/systemd/system/orvelin.service usr/share/applications/orvelin.desktop \
    usr/share/icons/hicolor/scalable/apps/orvelin.svg usr/share/man/man1/orvelin.1.gz \
    etc/orvelin/orvelin.ini; do
    [ -f "$dest/$f" ] || fail "not installed: /$f"
done
[ -x "$dest/usr/bin/orvelin" ] || fail "/usr/bin/orvelin is not executable"

grep -qx 'ExecStart=/usr/bin/orvelin --service' "$dest/usr/lib/systemd/system/orvelin.service" ||
    fail "the unit does not start the installed program"
grep -qx 'StateDirectory=orvelin' "$dest/usr/lib/systemd/system/orvelin.service" ||
    fail "the unit does not keep the data under /var/lib/orvelin"
# An example only: no peer section is in force.
if grep -q '^[[:space:]]*\[' "$dest/etc/orvelin/orvelin.ini"; then
    fail "the access file's example has a section in force"
fi
for section in NAME SYNOPSIS OPTIONS FILES ENVIRONMENT SIGNALS; do
    gzip -dc "$dest/usr/share/man/man1/orvelin.1.gz" | grep -qx "\.SH $section" ||
        fail "the man page has no $section section"
done

help=$("$dest/usr/bin/orvelin" --help) || fail "the installed orvelin --help failed"
case "$help" in
"usage: orvelin [--home DIR] [--service]"*) ;;
*) fail "unexpected --help: $help" ;;
esac

if command -v desktop-file-validate >/dev/null; then
    said=$(desktop-file-validate "$dest/usr/share/applications/orvelin.desktop" 2>&1) ||
        fail "desktop-file-validate: $said"
    [ -z "$said" ] || fail "desktop-file-validate: $said"
else
    echo "note: desktop-file-validate is not installed; the desktop entry was not checked"
fi
opt="$scratch/opt"
cmake --install "$build" --prefix "$opt" >"$scratch/install-opt.log" 2>&1 ||
    { cat "$scratch/install-opt.log" >&2; fail "cmake --install --prefix"; }
[ -f "$opt/etc/orvelin/orvelin.ini" ] || fail "no access file example under the prefix"
grep -qx "ExecStart=$opt/bin/orvelin --service" "$opt/lib/systemd/system/orvelin.service" ||
    fail "the unit does not follow the prefix"
if command -v systemd-analyze >/dev/null; then
    said=$(systemd-analyze verify "$opt/lib/systemd/system/orvelin.service" 2>&1) ||
        fail "systemd-analyze verify: $said"
    [ -z "$said" ] || fail "systemd-analyze verify: $said"
else
    echo "note: systemd-analyze is not installed; the unit was not checked"
fi

ORVELIN_TEST_EXE="$opt/bin/orvelin" QT_QPA_PLATFORM=offscreen LC_ALL=C TZ=UTC \
    "$e2e" --gtest_filter='Answering.MessageAfterTheGreetingIsStoredAsWaveListedLoggedAndSentToPeers' ||
    fail "the installed program did not answer with its converted greeting"
ORVELIN_TEST_EXE="$opt/bin/orvelin" QT_QPA_PLATFORM=offscreen LC_ALL=C TZ=UTC \
    "$e2e" --gtest_filter='StartUp.SetOptionsWithoutAServiceUnitOpensTheFormWithNoBox' ||
    fail "the installed program did not open its options form from the settings library"
echo "installed tree checked"
