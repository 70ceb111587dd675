# Shared steps of scripts/test, scripts/run and scripts/bench. Source it; it sets
# REPO, BUILD_DIR, QUIBRIX_CACHE and WINEPREFIX and defines the quibrix_* steps.

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$REPO/build}
mkdir -p "$BUILD_DIR"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
QUIBRIX_CACHE=${QUIBRIX_CACHE:-$REPO/build/cache}
# One prefix per build tree, so that several build trees can run their suites at once.
export WINEPREFIX=$BUILD_DIR/wineprefix
export WINEDEBUG=-all

QUIBRIX_PACKAGES=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 xvfb xauth
                  libboost-dev googletest dpkg-dev ninja-build cmake nsis)
# Programs that write the audio and photo files the metadata plug-ins are tested on.
QUIBRIX_PACKAGES+=(lame id3v2 flac vorbis-tools libimage-exiftool-perl imagemagick)

quibrix_log() { printf '== %s\n' "$*" >&2; }

quibrix_install_packages() {
  local missing=() p
  for p in "${QUIBRIX_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  quibrix_log "installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages (${missing[*]}): run as root to install them" >&2
    return 1
  fi
  # A fresh machine has no package lists yet.
  DEBIAN_FRONTEND=noninteractive apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" </dev/null
}

# The Debian mirror this machine already uses, read from its deb822 sources (never stored).
quibrix_debian_mirror() {
  local f uri
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    uri=$(awk '/^URIs:/ && $2 !~ /security/ {print $2; exit}' "$f")
    [ -n "$uri" ] && { echo "$uri"; return 0; }
  done
  echo "no Debian mirror found in /etc/apt/sources.list.d/*.sources" >&2
  return 1
}

quibrix_tinyxml_dir() {
  local d
  for d in "$QUIBRIX_CACHE"/tinyxml-*/; do
    [ -f "$d/tinyxml.cpp" ] && { echo "${d%/}"; return 0; }
  done
  return 1
}

# TinyXML comes from Debian's source package (Debian's patches applied), fetched once into
# the cache without touching the machine's apt configuration.
quibrix_fetch_tinyxml() {
  quibrix_tinyxml_dir >/dev/null && return 0
  quibrix_log "fetching TinyXML source into $QUIBRIX_CACHE"
  local mirror list
  mirror=$(quibrix_debian_mirror) || return 1
  mkdir -p "$QUIBRIX_CACHE/lists/partial" "$QUIBRIX_CACHE/apt-cache/archives/partial"
  list=$QUIBRIX_CACHE/deb-src.sources
  printf 'Types: deb-src\nURIs: %s\nSuites: bookworm\nComponents: main\nSigned-By: %s\n' \
    "$mirror" /usr/share/keyrings/debian-archive-keyring.gpg >"$list"
  local apt=(apt-get -q -o Dir::Etc::sourceparts=/nonexistent -o Dir::Etc::sourcelist="$list"
             -o Dir::State::Lists="$QUIBRIX_CACHE/lists" -o Dir::Cache="$QUIBRIX_CACHE/apt-cache")
  local rc=0
  { "${apt[@]}" update && (cd "$QUIBRIX_CACHE" && "${apt[@]}" source tinyxml); } </dev/null || rc=$?
  rm -f "$list"   # it names the mirror; keep no copy on disk
  [ $rc -eq 0 ] || return $rc
  quibrix_tinyxml_dir >/dev/null || { echo "TinyXML source not found in $QUIBRIX_CACHE" >&2; return 1; }
}

# The metadata plug-ins' libraries come from Debian's source packages as TinyXML does: fetched
# once into the cache with Debian's patches applied, without touching the machine's apt setup.
quibrix_source_dir() {  # package marker-file
  local d
  for d in "$QUIBRIX_CACHE/$1"-*/; do
    [ -f "$d/$2" ] && { echo "${d%/}"; return 0; }
  done
  return 1
}

quibrix_fetch_source() {  # package marker-file [version]
  quibrix_source_dir "$1" "$2" >/dev/null && return 0
  quibrix_log "fetching $1 source into $QUIBRIX_CACHE"
  local mirror list
  mirror=$(quibrix_debian_mirror) || return 1
  mkdir -p "$QUIBRIX_CACHE/lists/partial" "$QUIBRIX_CACHE/apt-cache/archives/partial"
  list=$QUIBRIX_CACHE/deb-src-$1.sources
  printf 'Types: deb-src\nURIs: %s\nSuites: bookworm\nComponents: main\nSigned-By: %s\n' \
    "$mirror" /usr/share/keyrings/debian-archive-keyring.gpg >"$list"
  local apt=(apt-get -q -o Dir::Etc::sourceparts=/nonexistent -o Dir::Etc::sourcelist="$list"
             -o Dir::State::Lists="$QUIBRIX_CACHE/lists" -o Dir::Cache="$QUIBRIX_CACHE/apt-cache")
  local rc=0
  { "${apt[@]}" update && (cd "$QUIBRIX_CACHE" && "${apt[@]}" source "$1${3:+=$3}"); } </dev/null || rc=$?
  rm -f "$list"   # it names the mirror; keep no copy on disk
  [ $rc -eq 0 ] || return $rc
  quibrix_source_dir "$1" "$2" >/dev/null || { echo "$1 source not found in $QUIBRIX_CACHE" >&2; return 1; }
}

# A source package fetched at one version and accepted only when its .dsc has the pinned
# SHA-256. The .dsc lists the checksums of the package's tarballs, which dpkg-source checks on
# unpacking, so the pin holds for all of it; a cached copy is checked again on every use.
quibrix_fetch_pinned_source() {  # package marker-file version sha256
  local dsc=$QUIBRIX_CACHE/$1_$3.dsc
  if [ ! -f "$dsc" ]; then
    local stale
    stale=$(quibrix_source_dir "$1" "$2") && rm -rf "$stale"
  fi
  quibrix_fetch_source "$1" "$2" "$3" || return 1
  if [ "$(sha256sum <"$dsc" | cut -d' ' -f1)" != "$4" ]; then
    echo "$dsc does not have the pinned SHA-256 $4: removed" >&2
    rm -rf "$(quibrix_source_dir "$1" "$2")" "$dsc"
    return 1
  fi
}

# TagLib (music tags) and libexif (photo EXIF), built into the plug-ins by CMake.
quibrix_fetch_plugin_libraries() {
  quibrix_fetch_source taglib taglib/toolkit/tstring.cpp &&
    quibrix_fetch_source libexif libexif/exif-data.c
}

# nlohmann-json (headers only), for the command-line tool's export and import.
QUIBRIX_JSON_VERSION=3.11.2-2
QUIBRIX_JSON_DSC_SHA256=70bec2cd47a992e0fcf5b92d820d264b871c15278cce68edcc05dbb579d795a0
quibrix_fetch_json() {
  quibrix_fetch_pinned_source nlohmann-json3 single_include/nlohmann/json.hpp \
    "$QUIBRIX_JSON_VERSION" "$QUIBRIX_JSON_DSC_SHA256"
}

# Configures on first use (or when a fetched source folder moved); later runs let Ninja
# re-run CMake only when a CMakeLists changed.
quibrix_configure() {
  quibrix_fetch_plugin_libraries || return 1
  quibrix_fetch_json || return 1
  local tinyxml cached taglib libexif json
  tinyxml=$(quibrix_tinyxml_dir)
  taglib=$(quibrix_source_dir taglib taglib/toolkit/tstring.cpp)
  libexif=$(quibrix_source_dir libexif libexif/exif-data.c)
  json=$(quibrix_source_dir nlohmann-json3 single_include/nlohmann/json.hpp)
  cached=$(sed -n 's/^QUIBRIX_TINYXML_DIR:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null || true)
  cached+=:$(sed -n 's/^QUIBRIX_TAGLIB_DIR:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null || true)
  cached+=:$(sed -n 's/^QUIBRIX_LIBEXIF_DIR:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null || true)
  cached+=:$(sed -n 's/^QUIBRIX_JSON_DIR:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null || true)
  [ -f "$BUILD_DIR/build.ninja" ] && [ "$cached" = "$tinyxml:$taglib:$libexif:$json" ] && return 0
  quibrix_log "configuring $BUILD_DIR"
  cmake -S "$REPO" -B "$BUILD_DIR" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$REPO/cmake/toolchain-mingw64.cmake" \
    -DCMAKE_BUILD_TYPE="${QUIBRIX_BUILD_TYPE:-RelWithDebInfo}" \
    -DQUIBRIX_TINYXML_DIR="$tinyxml" \
    -DQUIBRIX_TAGLIB_DIR="$taglib" -DQUIBRIX_LIBEXIF_DIR="$libexif" -DQUIBRIX_JSON_DIR="$json" >/dev/null
}

quibrix_build() {  # targets...
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake --build "$BUILD_DIR" "${targets[@]}"
}

# A new prefix takes about 10 s, so it is made once per build tree. The marker (which the
# wine_start test checks too) tells a finished prefix from an interrupted one.
quibrix_prefix_ready() { [ -f "$WINEPREFIX/.quibrix-ready" ]; }

quibrix_create_prefix() {
  quibrix_prefix_ready && return 0
  rm -rf "$WINEPREFIX"
  # No Mono or Gecko: their installers would wait on a dialog. A crash must print a
  # backtrace and end the program rather than wait on the crash dialog.
  WINEDLLOVERRIDES='mscoree,mshtml=' wineboot -i </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    </dev/null >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.quibrix-ready"
}

# Xvfb runs no window manager, and Wine waits for one for about two seconds whenever a
# managed window is shown or hidden: every dialog a test closes would cost that wait. Only the
# test prefix: scripts/run's prefix keeps ordinary windows for a real desktop.
quibrix_unmanaged_windows() {
  [ -f "$WINEPREFIX/.quibrix-unmanaged" ] && return 0
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
  # Wine's desktop process started here has no display: it must be gone before the tests.
  wineserver -w
  touch "$WINEPREFIX/.quibrix-unmanaged"
}

# Everything a test, run or bench needs; the prefix is made while the compiler works.
quibrix_prepare() {  # build targets...
  quibrix_install_packages
  quibrix_fetch_tinyxml
  quibrix_configure
  local prefix_pid=
  if ! quibrix_prefix_ready; then
    quibrix_log "creating wine prefix $WINEPREFIX"
    quibrix_create_prefix &
    prefix_pid=$!
  fi
  local rc=0
  quibrix_build "$@" || rc=$?
  if [ -n "$prefix_pid" ]; then
    wait "$prefix_pid" || { echo "creating the wine prefix failed" >&2; return 1; }
  fi
  # Prefixes made before this setting existed get it too.
  quibrix_unmanaged_windows
  return $rc
}

# An X server of our own for the programs that need a display. Xvfb is started directly, not
# through xvfb-run: xvfb-run waits for the server's ready signal, and when that signal arrives
# before it has begun to wait (a loaded machine), it waits until the server exits, which is
# never. With -displayfd the server picks a free display itself and writes its number once it
# accepts connections.
QUIBRIX_XVFB_PID=

quibrix_xvfb_start() {  # [screen WxHxD]: sets DISPLAY
  local screen=${1:-1280x1024x24} dir display=
  command -v Xvfb >/dev/null || { echo "Xvfb is not installed" >&2; return 1; }
  dir=$(mktemp -d)
  mkfifo "$dir/display"
  # The redirection blocks until the read below opens the pipe; a server that dies before it
  # is ready closes it, which ends the read.
  Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$dir/display" </dev/null >/dev/null 2>"$dir/log" &
  QUIBRIX_XVFB_PID=$!
  read -r -t 30 display <"$dir/display" || true
  if [ -z "$display" ]; then
    echo "Xvfb did not start:" >&2
    cat "$dir/log" >&2
    rm -rf "$dir"
    quibrix_xvfb_stop
    return 1
  fi
  rm -rf "$dir"
  export DISPLAY=:$display
}

quibrix_xvfb_stop() {
  [ -n "$QUIBRIX_XVFB_PID" ] || return 0
  kill "$QUIBRIX_XVFB_PID" 2>/dev/null || true
  wait "$QUIBRIX_XVFB_PID" 2>/dev/null || true
  QUIBRIX_XVFB_PID=
}

# Runs a command with DISPLAY on a server of its own, which is stopped however the command or
# this script ends (an interrupt included). Answers the command's exit status.
quibrix_with_xvfb() {  # [--screen WxHxD] command...
  local screen=
  if [ "${1:-}" = --screen ]; then screen=$2; shift 2; fi
  trap quibrix_xvfb_stop EXIT
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
  quibrix_xvfb_start $screen || return 1
  local rc=0
  "$@" || rc=$?
  quibrix_xvfb_stop
  trap - EXIT HUP INT TERM
  return $rc
}
