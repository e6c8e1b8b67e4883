# The release directory of scripts/package.sh, sourced by it. A directory
# that is not empty is taken only when it is an earlier release: every file in
# it listed in its SHA256SUMS and unchanged since, nothing else beside them.
# Then exactly those files go, and the folders they leave empty; anything
# else (a downloads folder, a user's files, a link) makes it refuse and
# leaves the directory as it is.

# prepare_release_dir DIR: DIR empty and ready, or a message and status 1.
prepare_release_dir() {
  local dir=$1 sums listed name entry
  # DIR/ is DIR: a trailing slash would make the tests below follow a link
  # at DIR and keep the paths found inside from matching the listed names.
  while [[ $dir == ?*/ ]]; do dir=${dir%/}; done
  if [ -L "$dir" ] || { [ -e "$dir" ] && [ ! -d "$dir" ]; }; then
    echo "$dir is not a directory: not writing the release there" >&2
    return 1
  fi
  if [ ! -e "$dir" ]; then
    mkdir -p "$dir"
    return 0
  fi
  [ -n "$(ls -A "$dir")" ] || return 0
  sums=$dir/SHA256SUMS
  if [ -L "$sums" ] || [ ! -f "$sums" ]; then
    echo "$dir holds files and is no earlier release (no SHA256SUMS): not clearing it" >&2
    return 1
  fi
  # The names the earlier release listed: plain paths inside the directory.
  listed=()
  while IFS= read -r entry; do
    if [[ ! $entry =~ ^[0-9a-f]{64}\ [\ *](.+)$ ]]; then
      echo "$dir: SHA256SUMS has a line that is no checksum: not clearing it" >&2
      return 1
    fi
    name=${BASH_REMATCH[1]}
    if [[ $name == /* || /$name/ == */../* || /$name/ == */./* ]]; then
      echo "$dir: SHA256SUMS names $name, outside the release: not clearing it" >&2
      return 1
    fi
    listed+=("$name")
  done <"$sums"
  # Everything in the directory must be a listed regular file, SHA256SUMS, or
  # a folder (not a link to one) that a listed path runs through, matched by
  # whole names from the top: an empty "64" of the user's is not "x64".
  local unlisted=() found
  while IFS= read -r -d '' found; do
    found=${found#"$dir"/}
    if [ -d "$dir/$found" ] && [ ! -L "$dir/$found" ]; then
      for name in "${listed[@]}"; do [[ $name == "$found"/* ]] && continue 2; done
    elif [ -f "$dir/$found" ] && [ ! -L "$dir/$found" ]; then
      [ "$found" = SHA256SUMS ] && continue
      printf '%s\n' "${listed[@]}" | grep -qxF -- "$found" && continue
    fi
    unlisted+=("$found")
  done < <(find "$dir" -mindepth 1 -print0)
  if [ ${#unlisted[@]} -gt 0 ]; then
    echo "$dir holds what its earlier release did not list (${unlisted[*]}): not clearing it" >&2
    return 1
  fi
  # A listed file changed since (or missing) is not the release's any more.
  if ! (cd "$dir" && sha256sum --check --strict --quiet SHA256SUMS >/dev/null 2>&1); then
    echo "$dir: files differ from its SHA256SUMS: not clearing it" >&2
    return 1
  fi
  for name in "${listed[@]}"; do rm -f -- "$dir/$name"; done
  rm -f -- "$sums"
  # The folders the release made, deepest first, once empty.
  find "$dir" -mindepth 1 -depth -type d -empty -delete
}
