#!/usr/bin/env bash
# scripts/package.sh --dist DIR against directories that are not its earlier
# release: each is refused before anything is built, and left exactly as it
# was. An earlier release loses exactly its listed files.
# usage: check_release_dir.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
ok() { echo "ok $1"; }
bad() { echo "FAIL $*"; status=1; }

# Every path below DIR with its type, size and content hash.
snapshot() {
  (cd "$1" && find . -printf '%p %y %s %l\n' | LC_ALL=C sort &&
    find . -type f -print0 | LC_ALL=C sort -z | xargs -0r sha256sum)
}
# An earlier release as package.sh writes it, with its SHA256SUMS.
make_release() {
  mkdir -p "$1/x64" "$1/x86"
  for f in x64/vela3ro.dll x64/vela3ro.dll.debug x86/vela3ro.dll vela3ro-0.1.0-x64.msi vela3ro.reg; do
    printf 'release file %s\n' "$f" >"$1/$f"
  done
  (cd "$1" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
}

# Each case makes DIR (and maybe files beside it) that package.sh must refuse,
# given as DIR and as DIR/.
declare -A cases=(
  [user-files]='mkdir -p $d/photos; echo mine >$d/notes.txt; echo jpeg >$d/photos/a.jpg'
  [downloads-with-sums]='mkdir -p $d; echo data >$d/tool.tar.gz; (cd $d && sha256sum tool.tar.gz >SHA256SUMS); echo other >$d/thesis.pdf'
  [release-and-user-file]='make_release $d; echo mine >$d/notes.txt'
  [release-and-user-folder]='make_release $d; mkdir $d/keep'
  [user-folder-ends-a-release-path]='make_release $d; mkdir $d/64'
  [release-folder-is-link]='make_release $d; mkdir $w/elsewhere; mv $d/x64/* $w/elsewhere/; rmdir $d/x64; ln -s $w/elsewhere $d/x64'
  [release-file-changed]='make_release $d; echo edited >>$d/vela3ro.reg'
  [release-file-is-link]='make_release $d; echo precious >$w/precious; rm $d/vela3ro.reg; ln -s $w/precious $d/vela3ro.reg'
  [sums-names-outside]='make_release $d; echo precious >$w/precious; (cd $d && sha256sum ../precious >>SHA256SUMS)'
  [sums-is-link]='mkdir -p $d; echo mine >$d/notes.txt; (cd $d && sha256sum notes.txt >$w/sums); ln -s $w/sums $d/SHA256SUMS'
  [dist-is-link]='mkdir -p $w/elsewhere; make_release $w/elsewhere; ln -s $w/elsewhere $d'
  [dist-is-file]='echo mine >$d'
)
for name in $(printf '%s\n' "${!cases[@]}" | sort); do
  for slash in '' /; do
    w=$work/$name${slash:+-slash}
    d=$w/dist
    mkdir -p "$w"
    eval "${cases[$name]}"
    before=$(snapshot "$w")
    rc=0
    "$source_dir/scripts/package.sh" --dist "$d$slash" >"$w.log" 2>&1 </dev/null || rc=$?
    if [ $rc -ne 0 ] && [ "$(snapshot "$w")" = "$before" ] && grep -q 'not' "$w.log"; then
      ok "refused-$name${slash:+ (DIR/)}"
    else
      bad "refused-$name${slash:+ (DIR/)}" "(status $rc)"
      cat "$w.log"
    fi
  done
done

# The earlier release goes, file by file, and the directory stays, empty.
. "$source_dir/scripts/release-dir.sh"
for slash in '' /; do
  d=$work/release${slash:+-slash}
  make_release "$d"
  if prepare_release_dir "$d$slash" && [ -d "$d" ] && [ -z "$(ls -A "$d")" ]; then
    ok "earlier-release-cleared${slash:+ (DIR/)}"
  else
    bad "earlier-release-cleared${slash:+ (DIR/)}"
    ls -lR "$d"
  fi
done
d=$work/new/dist
if prepare_release_dir "$d" && [ -d "$d" ]; then ok new-directory-made; else bad new-directory-made; fi
exit $status
