#!/usr/bin/env bash
# The router's port against a real router: network namespaces for a LAN, a
# router running miniupnpd between them and a WAN, joined only to each
# other and deleted at the end; nothing is added to the machine's own.
#   upnp_test.sh PROGRAM [WINE-RUNNER]
# PROGRAM runs in the LAN namespace with --upnp (through WINE-RUNNER for the
# Windows program). Exits 77 (skipped) without root, ip, nft or miniupnpd.
set -u
program=$1
runner=${2:-}
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "the router test needs root (network namespaces)"
for tool in ip nft miniupnpd upnpc curl; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || skip "no $tool (tools/install-deps --test installs it)"
done
ip netns add "komorebi-probe-$$" 2>/dev/null || skip "network namespaces cannot be made here"
ip netns del "komorebi-probe-$$"

lan=komorebi-lan-$$ router=komorebi-router-$$ wan=komorebi-wan-$$
work=$(mktemp -d)
board_pid='' router_pid='' failures=0
cleanup() {
  [ -n "$board_pid" ] && kill "$board_pid" 2>/dev/null
  [ -n "$router_pid" ] && kill "$router_pid" 2>/dev/null
  wait 2>/dev/null
  for ns in "$lan" "$router" "$wan"; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

# LAN 192.168.77.0/24 behind the router; outside, the WAN link's address given.
make_network() {
  local outside=$1
  for ns in "$lan" "$router" "$wan"; do ip netns add "$ns"; in_ns "$ns" ip link set lo up; done
  ip link add lan0 netns "$router" type veth peer name eth0 netns "$lan"
  ip link add wan0 netns "$router" type veth peer name eth0 netns "$wan"
  in_ns "$router" ip addr add 192.168.77.1/24 dev lan0
  in_ns "$router" ip addr add "$outside/24" dev wan0
  in_ns "$lan" ip addr add 192.168.77.2/24 dev eth0
  in_ns "$wan" ip addr add "${outside%.*}.2/24" dev eth0
  for pair in "$router lan0" "$router wan0" "$lan eth0" "$wan eth0"; do in_ns ${pair% *} ip link set ${pair#* } up; done
  in_ns "$lan" ip route add default via 192.168.77.1
  in_ns "$router" sysctl -qw net.ipv4.ip_forward=1
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
}

# miniupnpd on the router, mapping the LAN's ports within allowed.
start_router() {
  local allowed=$1
  rm -f "$work/miniupnpd"*
  cat >"$work/miniupnpd.conf" <<CONF
ext_ifname=wan0
listening_ip=lan0
enable_natpmp=no
enable_upnp=yes
secure_mode=yes
uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b
lease_file=$work/miniupnpd.leases
upnp_table_name=filter
upnp_nat_table_name=nat
upnp_forward_chain=miniupnpd
upnp_nat_chain=miniupnpd
upnp_nat_postrouting_chain=miniupnpd-pcp-peer
allow $allowed 192.168.77.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
  in_ns "$router" /usr/sbin/miniupnpd -d -f "$work/miniupnpd.conf" -P "$work/miniupnpd-$allowed.pid" \
    >"$work/miniupnpd.log" 2>&1 &
  router_pid=$!
  sleep 1
}

stop_network() {
  [ -n "$board_pid" ] && { kill "$board_pid" 2>/dev/null; wait "$board_pid" 2>/dev/null; board_pid=''; }
  [ -n "$router_pid" ] && { kill "$router_pid" 2>/dev/null; wait "$router_pid" 2>/dev/null; router_pid=''; }
  for ns in "$lan" "$router" "$wan"; do ip netns del "$ns" 2>/dev/null; done
}

# The board in the LAN, reading console commands from a pipe; its output in UTF-8.
start_board() {
  rm -rf "$work/board" "$work/out" "$work/commands"
  mkfifo "$work/commands"
  in_ns "$lan" env LANG=C.UTF-8 LC_ALL=C.UTF-8 $runner "$program" --dir "$work/board" --bind 192.168.77.2 \
    --port 53790 --upnp --start <"$work/commands" >"$work/out" 2>&1 &
  board_pid=$!
  exec 3>"$work/commands"
}
command_board() { printf '%s\n' "$@" >&3; }
# Waits up to 20 s for a line of the board's output holding text; prints it.
wait_line() {
  for _ in $(seq 200); do
    grep -a -F -- "$1" "$work/out" | tail -n 1 | grep . && return 0
    sleep 0.1
  done
  fail "no line with '$1'; the board said:"; tail -n 15 "$work/out"
  return 1
}
# The router's forwarding rules for the port: present (1) or gone (0), waiting up to 10 s.
expect_mapping() {
  local port=$1 want=$2 found
  for _ in $(seq 100); do
    found=0
    in_ns "$router" nft list chain inet nat miniupnpd | grep -q "dport $port " && found=1
    [ "$found" = "$want" ] && return 0
    sleep 0.1
  done
  fail "the mapping of port $port is $([ "$found" = 1 ] && echo 'still there' || echo missing) ($3)"
}

outside=81.4.2.1  # ordinary unicast: miniupnpd 2.3.1 will not map behind a reserved one

echo "== no router"
make_network "$outside"
start_board
wait_line "ルーターが見つからないため、外部からは接続できません。"
in_ns "$lan" curl -s -m 5 http://192.168.77.2:53790/ | grep -a -q "wbk_login.cgi" || fail "the LAN is not served without a router"
stop_network

echo "== mapped"
make_network "$outside"
start_router 1024-65535
start_board
wait_line "外部からのＵＲＬは [ http://$outside:53790/ ] です。"
expect_mapping 53790 1 "while the board runs"
in_ns "$lan" upnpc -l 2>/dev/null | grep -E "TCP +53790->192.168.77.2:53790 +'komorebi'" || fail "upnpc does not list the mapping"
in_ns "$wan" curl -s -m 5 "http://$outside:53790/" | grep -a -q "wbk_login.cgi" || fail "the visitor outside got no login page"
command_board port 53791 y
wait_line "外部からのＵＲＬは [ http://$outside:53791/ ] です。"
expect_mapping 53790 0 "after the port change"
expect_mapping 53791 1 "after the port change"
in_ns "$wan" curl -s -m 5 "http://$outside:53791/" | grep -a -q "wbk_login.cgi" || fail "no login page on the new port"
command_board stop
expect_mapping 53791 0 "after stop"
command_board start
expect_mapping 53791 1 "after a new start"
command_board quit y
wait "$board_pid"; board_pid=''
expect_mapping 53791 0 "after the exit"
grep -a -q "^upnp=" "$work/board/DATA/settings.ini" 2>/dev/null && fail "--upnp wrote the settings file"
stop_network

echo "== refused"
make_network "$outside"
start_router 1024-2000
start_board
wait_line "ルーターがポートの開放を断ったため"
stop_network

echo "== shared address outside"
make_network 100.64.0.1
start_router 1024-65535
start_board
wait_line "外部からは接続できません。"
expect_mapping 53790 0 "behind a shared address"
stop_network

[ "$failures" = 0 ] && echo "PASS: the router's port" && exit 0
echo "$failures failures"
exit 1
