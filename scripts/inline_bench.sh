#!/usr/bin/env bash
# Throughput and latency of `nips run` on a veth pair: client -> router -> server
# namespaces, the router's FORWARD chain queued to one queue or balanced over two.
#   scripts/inline_bench.sh [build-dir]      (root; python3, ip, iptables)
# Prints, for no queue, one queue and two queues: the UDP packets per second the
# server received from a 4-flow blast, and the round-trip time (p50, p99) of
# 2000 sequential UDP echoes (each round trip crosses the queue twice).
set -euo pipefail
build="${1:-build}"
nips="$(cd "$(dirname "$0")/.." && pwd)/$build/tools/nips"
tag=$$
C=nbc$tag R=nbr$tag S=nbs$tag
work=$(mktemp -d)
cleanup() {
  [ -n "${svc:-}" ] && kill "$svc" 2>/dev/null && wait "$svc" 2>/dev/null || true
  [ -n "${srv:-}" ] && kill "$srv" 2>/dev/null || true
  for n in $C $R $S; do ip netns del $n 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
for n in $C $R $S; do ip netns add $n; done
ip link add c0 netns $C type veth peer name r0 netns $R
ip link add r1 netns $R type veth peer name s0 netns $S
ip -n $C addr add 10.78.1.2/24 dev c0; ip -n $R addr add 10.78.1.1/24 dev r0
# Four client addresses: the NFQUEUE balance hashes addresses, not ports.
for a in 3 4 5; do ip -n $C addr add 10.78.1.$a/24 dev c0; done
ip -n $R addr add 10.78.2.1/24 dev r1; ip -n $S addr add 10.78.2.2/24 dev s0
for n in $C $R $S; do ip -n $n link set lo up; done
ip -n $C link set c0 up; ip -n $R link set r0 up; ip -n $R link set r1 up; ip -n $S link set s0 up
ip -n $C route add default via 10.78.1.1; ip -n $S route add default via 10.78.2.1
ip netns exec $R sysctl -qw net.ipv4.ip_forward=1

cat > "$work/server.py" <<'PY'
import socket, select, sys, time
sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); sink.bind(("0.0.0.0", 9000))
sink.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
echo = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); echo.bind(("0.0.0.0", 9001))
count = 0
while True:
    r, _, _ = select.select([sink, echo], [], [], 1.0)
    for s in r:
        if s is echo:
            data, peer = echo.recvfrom(2048); echo.sendto(data, peer)
        else:
            while True:
                try:
                    sink.recv(2048, socket.MSG_DONTWAIT); count += 1
                except BlockingIOError:
                    break
            open(sys.argv[1], "w").write(str(count))
PY
cat > "$work/client.py" <<'PY'
import socket, sys, time
mode = sys.argv[1]
if mode == "blast":
    seconds = float(sys.argv[2])
    socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(4)]
    for i, sock in enumerate(socks):
        sock.bind(("10.78.1.%d" % (2 + i), 0))
    payload = b"x" * 64
    end = time.time() + seconds; sent = 0
    while time.time() < end:
        for s in socks:
            for _ in range(64):
                s.sendto(payload, ("10.78.2.2", 9000)); sent += 1
    print(sent)
else:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(1.0)
    rtts = []
    for i in range(2000):
        t = time.perf_counter(); s.sendto(b"%d" % i, ("10.78.2.2", 9001))
        try:
            s.recv(2048); rtts.append((time.perf_counter() - t) * 1e6)
        except socket.timeout:
            pass
    rtts.sort()
    print("%.0f %.0f %d" % (rtts[len(rtts) // 2], rtts[int(len(rtts) * 0.99)], len(rtts)))
PY
echo 0 > "$work/count"
ip netns exec $S python3 "$work/server.py" "$work/count" & srv=$!
sleep 1

measure() {  # label
  sleep 1.2
  local before sent after
  before=$(cat "$work/count")
  sent=$(ip netns exec $C python3 "$work/client.py" blast 5)
  sleep 1.5
  after=$(cat "$work/count")
  local lat
  lat=$(ip netns exec $C python3 "$work/client.py" echo)
  printf "%-12s sent %8d  received %8d  (%6.0f pps)  rtt p50 %s us  p99 %s us  (%s echoes)\n" \
    "$1" "$sent" "$((after - before))" "$(echo "($after - $before) / 5" | bc -l)" \
    $(echo "$lat" | cut -d' ' -f1) $(echo "$lat" | cut -d' ' -f2) $(echo "$lat" | cut -d' ' -f3)
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
measure "no queue"
for queues in 1 2; do
  ip netns exec $R iptables -F FORWARD
  if [ $queues = 1 ]; then
    ip netns exec $R iptables -A FORWARD -j NFQUEUE --queue-num 0
    range=0
  else
    ip netns exec $R iptables -A FORWARD -j NFQUEUE --queue-balance 0:1
    range=0-1
  fi
  ip netns exec $R "$nips" run --queue $range --control "$work/ctl.sock" --alerts /dev/null \
    2> "$work/svc.err" & svc=$!
  for _ in $(seq 50); do grep -q "running" "$work/svc.err" && break; sleep 0.2; done
  measure "$queues queue(s)"
  "$nips" ctl --control "$work/ctl.sock" stats | python3 -c '
import json,sys; s=json.load(sys.stdin)
print("             nips: %d packets, %d dropped; queues: %s" % (s["packets"], s["dropped"],
  ", ".join("q%d %d pkts, callback-to-verdict p50 %d ns p99 %d ns, enobufs %d, queue_dropped %s, user_dropped %s" % (
  q["queue"], q["packets"], q["verdict_ns_p50"], q["verdict_ns_p99"], q["enobufs"],
  q.get("queue_dropped"), q.get("user_dropped")) for q in s["queues"])))'
  kill $svc; wait $svc 2>/dev/null || true; svc=
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
