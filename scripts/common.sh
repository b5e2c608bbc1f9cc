# Shared by the README's two commands: the Debian packages Tervalo needs, installed when missing.
TERVALO_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libcli11-dev nlohmann-json3-dev libudev-dev
  libgtest-dev libgmock-dev
  fonts-liberation
)

# Installs what is missing: with apt-get when root, otherwise prints the exact line and stops.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  else
    echo "Tervalo needs these Debian packages first:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
}

# Configures and builds into the given folder.
build_tervalo() {
  local dir=$1
  shift
  cmake -S "$TERVALO_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j"${TERVALO_JOBS:-2}"
}
