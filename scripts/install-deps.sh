#!/usr/bin/env bash
# Installs the Debian packages the project builds and runs with. Idempotent and quiet when all is there.
set -euo pipefail
packages=(
  g++ cmake ninja-build pkg-config ccache
  libfmt-dev libspdlog-dev libtomlplusplus-dev libcli11-dev nlohmann-json3-dev
  libsqlite3-dev sqlite3 libhdf5-dev libquantlib0-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  pybind11-dev python3-dev python3-numpy python3-pandas python3-pytest python3-distributed
)
if [[ "${KORVEX_WITH_BROWSER:-0}" == "1" ]]; then packages+=(chromium); fi
if [[ "${KORVEX_WITH_FUZZ:-0}" == "1" ]]; then packages+=(clang libclang-rt-14-dev); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
