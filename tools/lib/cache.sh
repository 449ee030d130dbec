# Shared by the scripts that build kernels and roots outside the clone (sourced,
# not run): where their caches live and how they install what they need.

# zorvi_cache_root NAME [DIR]: DIR, or /var/cache/zorvi-upgrade/NAME, created;
# the user's cache directory when that cannot be written.
zorvi_cache_root() {
  local root=${2:-/var/cache/zorvi-upgrade/$1}
  if ! mkdir -p "$root" 2>/dev/null || [ ! -w "$root" ]; then
    root=${XDG_CACHE_HOME:-$HOME/.cache}/zorvi-upgrade/$1
    mkdir -p "$root"
  fi
  echo "$root"
}

# zorvi_need_packages NAME LIST: installs whatever LIST names that is not
# installed yet, one apt-get at a time across all such scripts.
zorvi_need_packages() {
  local name=$1 list=$2 missing=() pkg
  for pkg in $(sed -e 's/#.*//' "$list"); do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "$name: missing packages: ${missing[*]}; install them (tools/install-deps) as root" >&2
    return 1
  fi
  echo "$name: installing ${missing[*]}" >&2
  (
    flock 9
    export DEBIAN_FRONTEND=noninteractive
    local apt=(apt-get -y -q --no-install-recommends -o DPkg::Lock::Timeout=600)
    "${apt[@]}" install "${missing[@]}" >&2 ||
      { apt-get -q update >&2 && "${apt[@]}" install "${missing[@]}" >&2; }
  ) 9>"$(zorvi_cache_root apt)/lock"
}
