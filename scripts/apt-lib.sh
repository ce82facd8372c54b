# shellcheck shell=bash
# Shared by scripts/setup, scripts/setup-armhf and scripts/armhf-sysroot
# (sourced, not run). A mirror caught mid-sync leaves one index unreadable
# while every other is fine: the update goes on without it, and only a
# package that then cannot be had stops the set-up, named with apt's reason.
#
#   apt_update_tolerant WHO APT-GET...  runs "APT-GET update"; names each
#       index that failed, and why, on stderr as "WHO: index not read: ...".
#       Fails only when apt-get itself cannot run (no lists at all are fine:
#       the install then names what it cannot find).
#   apt_install_each WHO APT-GET PACKAGE...  installs the packages in one
#       go; when that fails, installs those that can be had and names each
#       that cannot on stderr with apt's reason ("WHO: cannot install P: ..."),
#       then fails.
#   apt_why_not APT-GET PACKAGE  prints apt's reason that PACKAGE cannot be
#       installed (one line), or nothing when it can.

apt_update_tolerant() {
  local who="$1" out rc=0
  shift
  out=$(LC_ALL=C "$@" update 2>&1) || rc=$?
  # "Err:N <index>" is followed by indented lines with the reason; the
  # "E:"/"W:" lines after the run say the same per URL plus what else went
  # wrong (a source without a Release file, say).
  printf '%s\n' "$out" | awk -v who="$who" '
    /^Err:[0-9]+ / { idx = $0; sub(/^Err:[0-9]+ /, "", idx); want = 1; next }
    want && /^  / { r = $0; sub(/^ +/, "", r); printf "%s: index not read: %s: %s\n", who, idx, r; want = 0; next }
    want { printf "%s: index not read: %s\n", who, idx; want = 0 }
    /^E: / && !/Failed to fetch/ && !/Some index files failed/ { r = $0; sub(/^E: /, "", r); printf "%s: %s\n", who, r }
    /^W: / && /(not signed|Release file|NO_PUBKEY|unreachable|Could not)/ { r = $0; sub(/^W: /, "", r); printf "%s: %s\n", who, r }
  ' >&2
  if [ "$rc" -ne 0 ] && ! printf '%s\n' "$out" | grep -q -e '^Err:' -e '^E: ' -e '^W: '; then
    echo "$who: apt-get update failed ($rc): $out" >&2
    return 1
  fi
  return 0
}

apt_why_not() {
  local out
  out=$(LC_ALL=C "${@:1:$#-1}" -s install "${@: -1}" 2>&1) && return 0
  # The most telling line: the unmet dependency, else apt's error.
  printf '%s\n' "$out" | awk '
    /^ .* : (Depends|PreDepends|Conflicts|Breaks): / && !dep { dep = $0; sub(/^ +/, "", dep) }
    /^E: / && !err && !/Unable to correct problems|held broken packages/ { err = $0; sub(/^E: /, "", err) }
    END { if (dep != "") print dep; else if (err != "") print err; else print "apt-get refused it" }'
}

apt_install_each() {
  local who="$1" apt="$2" p why
  shift 2
  # shellcheck disable=SC2086
  LC_ALL=C $apt install "$@" >/dev/null 2>&1 && return 0
  local good=() bad=0
  for p in "$@"; do
    # shellcheck disable=SC2086
    why=$(apt_why_not $apt "$p")
    if [ -z "$why" ]; then
      good+=("$p")
    else
      echo "$who: cannot install $p: $why" >&2
      bad=1
    fi
  done
  if [ ${#good[@]} -gt 0 ]; then
    # shellcheck disable=SC2086
    LC_ALL=C $apt install "${good[@]}" >/dev/null || { echo "$who: installing ${good[*]} failed" >&2; return 1; }
  fi
  return "$bad"
}
