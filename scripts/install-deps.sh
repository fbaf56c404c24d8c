#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking Kelvor needs.
# Safe to run again: apt-get skips what is already there. clang with its runtimes (libFuzzer, the
# sanitizers) is for scripts/fuzz.sh; llvm gives llvm-symbolizer, which names the lines in
# sanitizer reports. systemd gives systemd-analyze and systemd-escape, which the tests of
# `kelvor schedule` hold its unit files to. chromium (headless) is for the report's browser test
# and screenshot. dpkg-dev and file build the Debian package (scripts/package.sh); man-db reads
# its manual pages. postgresql-15 runs the private cluster of the PostgreSQL tests.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
    build-essential cmake ninja-build pkg-config git ca-certificates \
    dpkg-dev file man-db \
    libsqlite3-dev sqlite3 libicu-dev \
    libpq-dev postgresql-15 \
    libgtest-dev googletest libbenchmark-dev \
    libsodium-dev \
    qt6-base-dev qt6-base-dev-tools libgl-dev \
    dbus dbus-bin dbus-daemon \
    systemd \
    xvfb \
    clang-format \
    chromium \
    clang libclang-rt-dev llvm \
    locales
# The locale tests run the engine under a decimal comma, which must really be installed.
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
    $SUDO sed -i 's/^# *\(de_DE\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -qx 'de_DE\.UTF-8 UTF-8' /etc/locale.gen ||
        echo 'de_DE.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    $SUDO locale-gen
fi
