#!/bin/bash
# host-session.sh SERVER CLIENT HOST WORKDIR: bob (kosession-client) stores a
# scene, the example host joins, loads it, and the two exchange commands.
set -u
server=$1 client=$2 host=$3 work=$4
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
trap 'exec 3>&- 4>&-; kill $(jobs -p) 2>/dev/null; wait' EXIT
fail() { echo "FAILED: $*"; for f in *.out; do echo "--- $f"; cat "$f"; done; exit 1; }
await() { # await FILE TEXT: up to 15 s for TEXT to show in FILE
  for _ in $(seq 150); do grep -qF -- "$2" "$1" && return 0; sleep 0.1; done
  fail "no \"$2\" in $1"
}

"$host" -V | grep -qx 'kosession-host [0-9.]*' || fail "kosession-host -V does not print its version"
"$server" --port 0 --address 127.0.0.1 --password pw >server.out 2>&1 &
await server.out "Session link: "
link=$(sed -n 's/.*Session link: //p' server.out)
mkfifo bob.in && exec 3<>bob.in
"$client" --name bob --password pw "$link" <bob.in >bob.out 2>&1 &
head -c 100000 /dev/urandom >scene.bin
echo "upload scene.bin" >&3
await bob.out 'uploaded "scene.bin"'

"$host" --name host --password pw --seconds 40 "$link" >host.out 2>&1 &
hostpid=$!
await host.out "joined as host"
await bob.out '"host"'
echo "say hi from bob" >&3
await host.out "bob says: hi from bob"
await bob.out "hello 2 from host"
await host.out "host moved marker of host to 2"
sum=$(sha256sum scene.bin | cut -d' ' -f1)
await host.out "downloaded the scene \"scene.bin\": 100000 bytes, SHA-256 $sum"
grep -qE '^\+ bob \(user [0-9]+, #' host.out || fail "bob not in the host's roster"
echo leave >&3
await host.out "- bob left"

kill -TERM $hostpid
wait $hostpid; rc=$?
[ $rc -eq 0 ] || fail "the host exited with $rc"
grep -qx "left the session: interrupted" host.out || fail "the host did not leave on SIGTERM"
# --host: the example runs the session's server in its own process and bob
# joins that session; leaving, the host ends it for everybody.
"$host" --host --name solo --seconds 40 >solo.out 2>&1 &
solopid=$!
await solo.out "Session link: 127.0.0.1:"
sololink=$(sed -n 's/^Session link: //p' solo.out)
mkfifo bob2.in && exec 4<>bob2.in
"$client" --name bob "$sololink" <bob2.in >bob2.out 2>&1 &
await bob2.out "hello 2 from solo"
echo "say hi from bob" >&4
await solo.out "bob says: hi from bob"
kill -TERM $solopid
wait $solopid; rc=$?
[ $rc -eq 0 ] || fail "the hosting host exited with $rc"
await solo.out "stopped the session's server"
await bob2.out "session ended: the host left"
echo "ok"; cat host.out solo.out
