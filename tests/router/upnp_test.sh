#!/usr/bin/env bash
# The router's port against a real router: network namespaces for a LAN, a router running miniupnpd and a
# WAN, joined only to each other and deleted at the end; nothing is added to the machine's own namespace.
#   upnp_test.sh PROGRAM            the Linux program in the LAN, driven through its console
#   upnp_test.sh --wine BUILD-DIR   komorebi.exe under wine in the LAN, on a virtual display of its own there
# Exits 77 (skipped) without root, ip, nft, miniupnpd, upnpc or curl (and wine, Xvfb for --wine).
set -u
skip() { echo "SKIP: $*"; exit 77; }
wine_build='' program=$1 tools="ip nft miniupnpd upnpc curl"
[ "$1" = --wine ] && wine_build=$(cd "$2" && pwd) && program=$wine_build/komorebi.exe && tools="$tools wine Xvfb"
[ "$(id -u)" = 0 ] || skip "the router test needs root (network namespaces)"
for tool in $tools; do command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || skip "no $tool (tools/install-deps)"; done
lan=komorebi-lan-$$ router=komorebi-router-$$ wan=komorebi-wan-$$ work=$(mktemp -d)
board_pid='' router_pid='' xvfb_pid='' failures=0
end() { for pid in $board_pid $router_pid $xvfb_pid; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
        exec 3>&-; board_pid='' router_pid='' xvfb_pid=''; for ns in $lan $router $wan; do ip netns del "$ns" 2>/dev/null; done; }
trap 'end; [ -n "$wine_build" ] && wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

# The LAN 192.168.77.0/24 behind the router, outside the WAN link's address; miniupnpd maps the ports allowed.
network() {
  local outside=$1 allowed=$2
  for ns in $lan $router $wan; do ip netns add "$ns" || skip "network namespaces cannot be made here"; in_ns "$ns" ip link set lo up; done
  ip link add lan0 netns "$router" type veth peer name eth0 netns "$lan"
  ip link add wan0 netns "$router" type veth peer name eth0 netns "$wan"
  in_ns "$router" ip addr add 192.168.77.1/24 dev lan0 && in_ns "$router" ip addr add "$outside/24" dev wan0
  in_ns "$lan" ip addr add 192.168.77.2/24 dev eth0 && in_ns "$wan" ip addr add "${outside%.*}.2/24" dev eth0
  for link in "$router lan0" "$router wan0" "$lan eth0" "$wan eth0"; do in_ns ${link% *} ip link set ${link#* } up; done
  in_ns "$lan" ip route add default via 192.168.77.1 && in_ns "$router" sysctl -qw net.ipv4.ip_forward=1
  in_ns "$router" nft -f - <<'NFT'
table inet filter {
  chain forward { type filter hook forward priority 0; policy drop; ct state established,related accept; iifname "lan0" accept; jump miniupnpd; }
  chain miniupnpd { }
}
table inet nat {
  chain prerouting { type nat hook prerouting priority -100; policy accept; jump miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept; oifname "wan0" masquerade; jump miniupnpd-pcp-peer; }
  chain miniupnpd { }
  chain miniupnpd-pcp-peer { }
}
NFT
  [ "$allowed" = none ] && return
  rm -f "$work"/miniupnpd*
  printf '%s\n' ext_ifname=wan0 listening_ip=lan0 enable_natpmp=no secure_mode=yes lease_file="$work/miniupnpd.leases" \
    uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b upnp_table_name=filter upnp_nat_table_name=nat upnp_forward_chain=miniupnpd \
    upnp_nat_chain=miniupnpd upnp_nat_postrouting_chain=miniupnpd-pcp-peer "allow $allowed 192.168.77.0/24 1024-65535" \
    "deny 0-65535 0.0.0.0/0 0-65535" >"$work/miniupnpd.conf"
  ip netns exec "$router" /usr/sbin/miniupnpd -d -f "$work/miniupnpd.conf" -P "$work/miniupnpd.pid" >"$work/miniupnpd.log" 2>&1 &
  router_pid=$!
  sleep 1
}
# The board in the LAN on 192.168.77.2:53790 with --upnp; the Linux one reads console commands from a pipe.
board() {
  rm -rf "$work/board" "$work/commands" && mkfifo "$work/commands"
  if [ -n "$wine_build" ]; then
    ip netns exec "$lan" Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 & xvfb_pid=$!; sleep 1
  fi
  ip netns exec "$lan" ${wine_build:+wine} "$program" --dir "$work/board" --bind 192.168.77.2 --port 53790 --upnp --start \
    <"$work/commands" >"$work/out" 2>&1 &
  board_pid=$!
  exec 3>"$work/commands"
}
command_board() { printf '%s\n' "$@" >&3; }
wait_line() {  # up to 20 s for the board's line holding $1, printed
  for _ in $(seq 200); do grep -a -F -- "$1" "$work/out" | tail -n 1 | grep . && return; sleep 0.1; done
  fail "no line with '$1'; the board said:"; tail -n 15 "$work/out"
}
expect_mapping() {  # the router's rule for port $1 present (1) or gone (0), waiting up to 10 s (or $4 tenths)
  local found
  for _ in $(seq "${4:-100}"); do
    found=0; in_ns "$router" nft list chain inet nat miniupnpd | grep -q "dport $1 " && found=1
    [ "$found" = "$2" ] && return; sleep 0.1
  done
  fail "the mapping of port $1 is $([ "$found" = 1 ] && echo 'still there' || echo missing) ($3)"
}
visitor() { in_ns "$wan" curl -s -m 5 "http://$outside:$1/" | grep -a -q "wbk_login.cgi" || fail "no login page outside on $1"; }

outside=81.4.2.1  # ordinary unicast: miniupnpd 2.3.1 maps nothing behind a reserved address
if [ -n "$wine_build" ]; then
  export WINEPREFIX=$wine_build/wine-router/prefix WINEDEBUG=-all LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 DISPLAY=:$((100 + $$ % 100))
  [ -f "$WINEPREFIX/system.reg" ] || { mkdir -p "$WINEPREFIX"; DISPLAY='' wineboot -i >/dev/null 2>&1; wineserver -w; }
  echo "== mapped, stop, start, the exit (wine)"
  network "$outside" 1024-65535 && board
  expect_mapping 53790 1 "while the program runs" 600 && visitor 53790
  probe() { in_ns "$lan" wine "$wine_build/tests/win32/komorebi_probe.exe" "$@" | tr -d '\r'; }
  click() { in_ns "$lan" xdotool mousemove $1 $2 click 1; }
  click $(probe panel 1004) && expect_mapping 53790 0 "after the panel's stop"
  click $(probe panel 1003) && expect_mapping 53790 1 "after the panel's start"
  # A click on the main window's blank right side, then F10, Down and Return take the file menu's 終了; then Yes.
  read -r left top _ < <(probe client) && click $((left + 500)) $((top + 110)) && in_ns "$lan" xdotool key F10 sleep 0.3 key Down sleep 0.5 key Return
  probe wait "確認メッセージ" 10 >/dev/null && click $(probe control "確認メッセージ" 6)
  wait "$board_pid"; board_pid=''
  expect_mapping 53790 0 "after the exit"
else
  echo "== no router"
  network "$outside" none && board
  wait_line "ルーターが見つからないため、外部からは接続できません。"
  in_ns "$lan" curl -s -m 5 http://192.168.77.2:53790/ | grep -a -q "wbk_login.cgi" || fail "the LAN is not served"
  end
  echo "== mapped: a port change, stop, start, the exit"
  network "$outside" 1024-65535 && board
  wait_line "外部からのＵＲＬは [ http://$outside:53790/ ] です。"
  expect_mapping 53790 1 "while the board runs" && visitor 53790
  in_ns "$lan" upnpc -l 2>/dev/null | grep -E "TCP +53790->192.168.77.2:53790 +'komorebi' '' 3[56][0-9][0-9]$" ||
    fail "upnpc does not list the mapping for an hour"
  command_board port 53791 y && wait_line "外部からのＵＲＬは [ http://$outside:53791/ ] です。"
  expect_mapping 53790 0 "after the port change" && expect_mapping 53791 1 "after the port change" && visitor 53791
  command_board stop && expect_mapping 53791 0 "after stop"
  command_board start && expect_mapping 53791 1 "after start"
  command_board quit y && wait "$board_pid"; board_pid=''
  expect_mapping 53791 0 "after the exit"
  grep -a -q "^upnp=" "$work/board/DATA/settings.ini" 2>/dev/null && fail "--upnp wrote the settings file"
  end
  echo "== refused"
  network "$outside" 1024-2000 && board && wait_line "ルーターがポートの開放を断ったため"
  end
  echo "== a shared address outside"
  network 100.64.0.1 1024-65535 && board && wait_line "ルーターの外側のアドレスが[ なし ]のため"
  expect_mapping 53790 0 "behind a shared address"
fi
end
[ "$failures" = 0 ] && echo "PASS: the router's port" && exit 0
echo "$failures failures" && exit 1
