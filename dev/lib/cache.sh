# Shared by the scripts that build kernels and roots outside the clone (sourced,
# not run): where their caches live and how they check what they need.

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

# zorvi_need_packages NAME LIST: fails, naming them, when packages that LIST
# names are not installed. Installing is the set-up step's job
# (dev/install-deps), never that of a script a test runs.
zorvi_need_packages() {
  local name=$1 list=$2 missing=() pkg
  for pkg in $(sed -e 's/#.*//' "$list"); do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "$name: missing packages: ${missing[*]}; install them with dev/install-deps (as root)" >&2
  return 1
}
