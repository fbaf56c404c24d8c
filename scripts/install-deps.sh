#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking Kelvor needs.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
    build-essential cmake ninja-build pkg-config git ca-certificates \
    libsqlite3-dev sqlite3 \
    libgtest-dev googletest libbenchmark-dev \
    libsodium-dev \
    qt6-base-dev qt6-base-dev-tools libgl-dev \
    dbus dbus-bin dbus-daemon \
    clang-format
