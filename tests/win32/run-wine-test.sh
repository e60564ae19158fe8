#!/usr/bin/env bash
# The Windows program under wine, used the way its owner uses it: start it on
# a virtual X display, press the panel's start button, log in and post over
# HTTP on 127.0.0.1, change the port through the menu's port dialog, open the
# about box with Alt+"?", take a screenshot, and end it through the exit
# confirmation. Clicks and keys go in through xdotool; the komorebi_probe
# helper only reports where the windows are and what they say.
#
#   tests/win32/run-wine-test.sh [--build-dir DIR] [--no-build] [--fresh-prefix]
#
# DIR defaults to build-windows. The wine prefix lives in DIR/wine-test/prefix
# and is made on the first run (20 to 30 seconds); --fresh-prefix makes it anew.
# The screenshot is DIR/komorebi-wine.png. Exit 0 when everything worked, 1 on
# the first failure, 77 when wine, Xvfb, xdotool, ImageMagick, curl or the
# Japanese locale is missing (tools/install-deps --windows installs them).
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$root/build-windows
build=1
fresh=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=$(cd "$2" 2>/dev/null && pwd || echo "$2"); shift ;;
    --no-build) build=0 ;;
    --fresh-prefix) fresh=1 ;;
    *) echo "run-wine-test: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

# --- Before the display: tools, build, prefix ------------------------------
if [ -z "${KOMOREBI_WINE_TEST_DISPLAY:-}" ]; then
  for tool in wine wineserver xvfb-run xdotool import convert curl python3; do
    command -v "$tool" >/dev/null || { echo "run-wine-test: $tool is missing (tools/install-deps --windows)"; exit 77; }
  done
  locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$' ||
    { echo "run-wine-test: the ja_JP.UTF-8 locale is missing (tools/install-deps --windows)"; exit 77; }
  if [ "$build" = 1 ]; then
    [ -f "$build_dir/CMakeCache.txt" ] || (cd "$root" && cmake --preset windows)
    cmake --build "$build_dir" -j 2 --target komorebi komorebi_probe
  fi
  mkdir -p "$build_dir/wine-test"
  [ "$fresh" = 1 ] && rm -rf "$build_dir/wine-test/prefix"
  # Make the prefix before anything else runs in it: a program started while
  # wine is still creating it finds no kernel32.dll and fails.
  if [ ! -f "$build_dir/wine-test/prefix/system.reg" ]; then
    echo "run-wine-test: making the wine prefix (20 to 30 seconds)"
    # In the Japanese locale, so that the prefix gets fonts with Japanese glyphs
    # for menus and message boxes.
    LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 WINEPREFIX=$build_dir/wine-test/prefix WINEDEBUG=-all wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX=$build_dir/wine-test/prefix wineserver -w
  fi
  export KOMOREBI_WINE_TEST_DISPLAY=1
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" --build-dir "$build_dir" --no-build
fi

# --- On the virtual display -------------------------------------------------
export WINEPREFIX=$build_dir/wine-test/prefix WINEDEBUG=-all LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
exe=$build_dir/komorebi.exe
probe_exe=$build_dir/tests/win32/komorebi_probe.exe
work=$build_dir/wine-test
shot=$build_dir/komorebi-wine.png
data=$work/data
rm -rf "$data" "$work/failure.png"
mkdir -p "$data"
started=$(date +%s)
app_pid=

log() { echo "[$(( $(date +%s) - started ))s] $*"; }
fail() {
  log "FAIL: $*"
  import -window root "$work/failure.png" 2>/dev/null && log "the screen at the failure: $work/failure.png"
  exit 1
}
cleanup() {
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then kill "$app_pid" 2>/dev/null || true; fi
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

probe() { wine "$probe_exe" "$@" 2>/dev/null | tr -d '\r'; }
click_at() { xdotool mousemove "$1" "$2" click 1; }
click_control() {  # title id
  local xy
  xy=$(probe control "$1" "$2") || fail "no control $2 in the window \"$1\""
  # shellcheck disable=SC2086
  click_at $xy
}
wait_window() { wine "$probe_exe" wait "$1" "${2:-10}" >/dev/null 2>&1 || fail "the window \"$1\" did not appear"; }
wait_gone() { wine "$probe_exe" gone "$1" "${2:-10}" >/dev/null 2>&1 || fail "the window \"$1\" did not go away"; }
expect_text() {  # title id expected
  local got
  got=$(probe text "$1" "$2")
  [ "$got" = "$3" ] || fail "the window \"$1\" says \"$got\", not \"$3\""
}
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
http_code() { curl -s -o /dev/null -m 5 -w '%{http_code}' "$@" || true; }

# A blank spot of the client area, right of the status lines: clicking there
# gives the main window the keyboard, and moving there sends it messages.
main_spot() {
  local left top
  read -r left top _ _ < <(probe client) || fail "no main window"
  echo "$((left + 500)) $((top + 110))"
}
touch_main() {
  # shellcheck disable=SC2046
  xdotool mousemove $(main_spot) sleep 0.3 mousemove_relative 3 3 sleep 0.3 mousemove_relative -- -3 -3
}

# How many pixels of the main window's client area have this colour (#RRGGBB).
colour_count() {
  local left top width height
  read -r left top width height < <(probe client) || fail "no main window"
  import -window root "$work/now.png"
  convert "$work/now.png" -crop "${width}x${height}+${left}+${top}" +repage -format %c histogram:info:- |
    awk -v c="$1" 'index($0, c) { n += $1 } END { print n + 0 }'
}
# The status display shows the running (green) or stopped (yellow) indicator.
wait_indicator() {  # running|stopped
  local want=FFFF00 other=00FF00
  [ "$1" = running ] && want=00FF00 other=FFFF00
  for _ in $(seq 1 20); do
    touch_main  # the window refreshes its status on its next message
    sleep 0.3
    if [ "$(colour_count "#$want")" -gt 100 ] && [ "$(colour_count "#$other")" -eq 0 ]; then return 0; fi
  done
  fail "the indicator does not show the server $1"
}

port=$(free_port)
new_port=$(free_port)
while [ "$new_port" = "$port" ]; do new_port=$(free_port); done
win_data="Z:$(echo "$data" | tr / '\\')"

log "starting komorebi.exe on 127.0.0.1:$port (wine prefix $WINEPREFIX)"
wine "$exe" --bind 127.0.0.1 --port "$port" --dir "$win_data" >"$work/komorebi.log" 2>&1 &
app_pid=$!
wait_window "コモレビ" 90
log "the window is up"
wait_indicator stopped
[ "$(http_code "http://127.0.0.1:$port/")" = 000 ] || fail "something answers before the start button"

# Start button of the panel.
# shellcheck disable=SC2046
click_at $(probe panel 1003) || fail "no start button"
wait_indicator running
login_page=$(curl -s -m 5 "http://127.0.0.1:$port/") || fail "GET / got no answer"
grep -q 'wbk_login.cgi' <<<"$login_page" || fail "GET / did not give the login page"
[ -f "$data/DATA/MESSAGE/0.ini" ] || fail "the start did not make DATA in the --dir directory"
log "started: GET / answers on port $port"

# Log in and post.
headers=$(curl -s -m 5 -D - -o /dev/null --data 'id=quietharborlights&password=quietharborlights' \
  "http://127.0.0.1:$port/wbk_login.cgi")
cookie=$(sed -n 's/^Set-Cookie: SESSIONID=\([0-9]*\);.*/\1/p' <<<"$headers" | tr -d '\r')
[ -n "$cookie" ] || fail "the login gave no SESSIONID cookie"
# The name is 表示 in Shift_JIS, percent-encoded as a browser sends it.
code=$(http_code -H "Cookie: SESSIONID=$cookie" --data 'name=%95%5C%8E%A6&title=wine&text=posted+from+the+wine+test' \
  "http://127.0.0.1:$port/wbk_write.cgi")
[ "$code" = 200 ] || fail "the post got HTTP $code"
grep -q 'posted from the wine test' "$data/DATA/HTML/wbk_text_1.html" || fail "the post is not on text page 1"
[ "$(cat "$data/DATA/MESSAGE/0.ini")" = $'message=1\r\npage=1\r' ] || fail "0.ini does not count the post"
log "logged in (SESSIONID=$cookie) and posted"

# The deletion dialog: the seventh item of the menu bar. The list shows the
# page's messages newest first; the older one is chosen and deleted.
code=$(http_code -H "Cookie: SESSIONID=$cookie" --data 'name=keep&title=kept&text=stays+on+the+page' \
  "http://127.0.0.1:$port/wbk_write.cgi")
[ "$code" = 200 ] || fail "the second post got HTTP $code"
# shellcheck disable=SC2046
click_at $(main_spot)
xdotool key F10 && sleep 0.3
for _ in 1 2 3 4 5 6 7; do xdotool key Right && sleep 0.2; done
xdotool key Return
wait_window "メッセージの削除"
sleep 0.5
read -r dl dt dw dh < <(probe placement "メッセージの削除") || fail "no deletion dialog"
import -window root "$work/screen.png"
convert "$work/screen.png" -crop "${dw}x${dh}+${dl}+${dt}" +repage "$build_dir/komorebi-delete-dialog.png"
log "screenshot: $build_dir/komorebi-delete-dialog.png"
click_control "メッセージの削除" 1010
xdotool key Home && sleep 0.2 && xdotool key Down && sleep 0.2
click_control "メッセージの削除" 1
wait_window "確認メッセージ"
confirmation=$(probe text "確認メッセージ" 65535)
grep -q '題名　：　wine' <<<"$confirmation" || fail "the confirmation does not name the chosen message: $confirmation"
click_control "確認メッセージ" 6
for _ in $(seq 1 20); do
  grep -q 'posted from the wine test' "$data/DATA/HTML/wbk_text_1.html" || break
  sleep 0.25
done
grep -q 'posted from the wine test' "$data/DATA/HTML/wbk_text_1.html" && fail "the chosen message is still on the page"
grep -q 'stays on the page' "$data/DATA/HTML/wbk_text_1.html" || fail "the other message went too"
wait_window "確認メッセージ"
expect_text "確認メッセージ" 65535 "$(printf '%s\n' "$confirmation" | sed -e '1s/.*/次のメッセージを削除しました。/' -e '$s/.*/[メッセージの削除]処理が正常に終了しました。/')"
xdotool key Return
wait_gone "メッセージの削除"
log "the deletion dialog took the chosen message off the page"

# The port dialog through the menu bar: F10, then right twice to "ポート番号の変更".
# shellcheck disable=SC2046
click_at $(main_spot)
xdotool key F10 && sleep 0.3 && xdotool key Right && sleep 0.2 && xdotool key Right && sleep 0.2 && xdotool key Return
wait_window "ポート番号の設定"
click_control "ポート番号の設定" 1000
xdotool type --delay 60 "$new_port"
click_control "ポート番号の設定" 1
wait_window "確認メッセージ"
expect_text "確認メッセージ" 65535 "ポート番号を[ $new_port ]に変更します。
宜しいですか？。"
click_control "確認メッセージ" 6
wait_gone "ポート番号の設定"
for _ in $(seq 1 20); do
  [ "$(http_code "http://127.0.0.1:$new_port/")" = 200 ] && break
  sleep 0.3
done
[ "$(http_code "http://127.0.0.1:$new_port/")" = 200 ] || fail "nothing answers on the new port $new_port"
[ "$(http_code "http://127.0.0.1:$port/")" = 000 ] || fail "the old port $port still answers"
wait_indicator running
log "the port is now $new_port and the server answers there"

# The screenshot: the whole window, menu bar included. Under Xvfb without a
# window manager, wine repaints what a closed dialog covered only when input
# arrives, hence the mouse moves first.
touch_main
sleep 0.5
read -r wl wt ww wh < <(probe window) || fail "no main window"
import -window root "$work/screen.png"
convert "$work/screen.png" -crop "${ww}x${wh}+${wl}+${wt}" +repage "$shot"
log "screenshot: $shot"

# Alt+"?" opens the about box.
# shellcheck disable=SC2046
click_at $(main_spot)
xdotool key alt+question
wait_window "バージョン情報"
expect_text "バージョン情報" -1 "コモレビ version 1.0"
click_control "バージョン情報" 1
wait_gone "バージョン情報"
log "Alt+? showed the about box"

# Exit through the confirmation: first No (keeps running), then Yes.
exit_through_menu() {
  # F10 opens the menu bar, Down drops the file menu, Return takes its one
  # item (終了).
  # shellcheck disable=SC2046
  click_at $(main_spot)
  xdotool key F10 && sleep 0.3 && xdotool key Down && sleep 0.5 && xdotool key Return
  wait_window "確認メッセージ"
  expect_text "確認メッセージ" 65535 "コモレビ
アプリケーションを終了します。
宜しいですか？。"
}
exit_through_menu
click_control "確認メッセージ" 7
wait_gone "確認メッセージ"
sleep 0.5
kill -0 "$app_pid" 2>/dev/null || fail "No ended the program"
[ "$(http_code "http://127.0.0.1:$new_port/")" = 200 ] || fail "after No the server no longer answers"

exit_through_menu
click_control "確認メッセージ" 6
for _ in $(seq 1 40); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.25; done
kill -0 "$app_pid" 2>/dev/null && fail "Yes did not end the program"
wait "$app_pid" || fail "komorebi.exe ended with status $?"
app_pid=
[ "$(http_code "http://127.0.0.1:$new_port/")" = 000 ] || fail "the server still answers after the exit"
log "ended through the exit confirmation; PASS"
