#!/usr/bin/env bash
# The Debian package as a user gets it: made by scripts/package-deb from the install
# rules of the host tree (twice, to the same bytes), accepted by lintian, unpacked into
# a scratch root with dpkg -x. There the installed varnex-pack builds a self-extractor,
# its manual page renders without a warning, and the manual page and the completion
# carry what --help lists. One row per check; every row runs, and any failure fails.
# Usage: tests/install/install_test.sh HOST_TREE   (CTest runs it after the build)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/varnex-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
export SOURCE_DATE_EPOCH=1700000000

deb=$(bash "$src/scripts/package-deb" "$work/one" "$1")
bash "$src/scripts/package-deb" "$work/two" "$1" >/dev/null
root=$work/root
dpkg -x "$deb" "$root"
bin=$root/usr/bin/varnex-pack
mkdir -p "$work/app/docs" && echo "Read me." >"$work/app/docs/readme.txt"
manual=$(zcat "$root/usr/share/man/man1/varnex-pack.1.gz")
# What --help shows: its long options, its usage lines without their summaries; the
# page's source with its font and minus escapes undone.
help=$("$bin" --help)
long_options=$(grep -o -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u | tr '\n' ' ')
usage_lines=$(sed -n 's/^  \(varnex-pack .*\)/\1/p' <<<"$help" | sed 's/   .*//')
plain_manual=$(sed 's/\\-/-/g; s/\\f[BIR]//g' <<<"$manual")
synopsis=$(sed -n '/^.SH SYNOPSIS/,/^.SH/p' <<<"$plain_manual" | grep -v '^\.')

each_in() { # TEXT WORD...: every WORD is a word of TEXT
    local text=$1 w; shift
    for w; do grep -qwF -- "$w" <<<"$text" || { echo "missing: $w"; return 1; }; done
}
complete_line() { # WORD...: what the installed completion offers for the last word
    source "$root/usr/share/bash-completion/completions/varnex-pack"
    COMP_WORDS=(varnex-pack "$@") COMP_CWORD=$# COMPREPLY=()
    _varnex_pack
    printf '%s\n' "${COMPREPLY[@]}"
}
warnings_of() { "$@" 2>&1 >/dev/null; }
cd "$work"

checks=(
    "two runs give the same bytes|cmp $deb two/${deb##*/}"
    "lintian finds no error or warning|lintian --fail-on error,warning $deb"
    "Depends is the linked libraries, osslsigncode recommended|dpkg-deb -f $deb Depends Recommends | grep -qzE 'libc6 .*libstdc\+\+6 .*Recommends: osslsigncode'"
    "the installed program has the package's version|[ \"\$($bin --version | cut -d' ' -f2)\" = \"\$(dpkg-deb -f $deb Version)\" ]"
    "it builds a self-extractor that tests clean|$bin -q -o app.exe app/. && $bin test -q app.exe"
    "the installed stub is the one built in|$bin -q --stub $root/usr/share/varnex/Varnex32.exe -o stub.exe app/. && cmp app.exe stub.exe"
    "groff renders the page without a warning|[ -z \"\$(warnings_of groff -ww -man -Tutf8 <<<\"\$manual\")\" ]"
    "man -l renders the page without a warning|[ -z \"\$(warnings_of man --warnings -l $root/usr/share/man/man1/varnex-pack.1.gz)\" ] && man -l $root/usr/share/man/man1/varnex-pack.1.gz | grep -q 'EXIT STATUS'"
    "the page describes every long option of --help|each_in \"\$plain_manual\" $long_options"
    "every option on the page is typed with minus signs, hyphens stay|! grep -E '(^|[^-])--[a-z]|self.-extractor' <<<\"\$manual\""
    "the synopsis is --help's usage, in the manual's fonts|[ \"\$synopsis\" = \"\$usage_lines\" ] && grep -qF '\\fBvarnex-pack\\fR \\fBtest\\fR \\fIFILE\\fR' <<<\"\$manual\""
    "each command's entry: its summary and its own options|each_in \"\$plain_manual\" 'List a self-extractor or a plain .lzh (-v: with its settings and notice).' 'Its options: --verbose, and those of every command.' 'Its options: --allow-unsafe-names, --directory, --yes, --no, and those of every command.' 'Its options: those of every command.'"
    "the options part: those of every command first, then each option of --help once|each_in \"\$plain_manual\" 'Options for every command: --codepage, --quiet, --help, --version.' && [ \"\$(sed -n '/^.SH OPTIONS/,/^.SH \"EXIT/p' <<<\"\$manual\" | grep -c '^.TP')\" = \"\$(grep -c '^  -' <<<\"\$help\")\" ]"
    "the page names every section a manual has|each_in \"\$(grep '^.SH' <<<\"\$manual\")\" NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS EXIT ENVIRONMENT FILES EXAMPLES"
    "the completion offers the commands|[ \"\$(complete_line ex)\" = extract ] && each_in \"\$(complete_line '')\" list test extract"
    "the completion offers a command's options only|each_in \"\$(complete_line list --)\" --verbose --codepage && ! each_in \"\$(complete_line list --)\" --title >/dev/null"
    "the completion offers directories for -d|[ \"\$(complete_line extract app.exe -d ap)\" = app ]"
)
failed=0
for row in "${checks[@]}"; do
    if out=$(eval "${row#*|}" 2>&1); then echo "ok    ${row%%|*}"; else echo "FAIL  ${row%%|*}"; sed 's/^/      /' <<<"$out"; failed=1; fi
done
exit $failed
