#!/bin/bash
# readme-commands.sh README BINDIR WORKDIR: runs every command of README's sh
# blocks and "$ " transcripts as a user would, and checks what each prints: a
# text in double quotes in a command's comment, the lines a transcript shows,
# the link a server prints (its participants then join it). It runs in a
# network and mount namespace of its own, so the README's ports, the addresses
# 10.0.0.x and the host names *.example.org are its alone. What cannot run
# here is replaced as subst() says, and each command is printed as it runs.
set -u
readme=$1 bin=$2 work=$3
if [ -z "${KOSESSION_README_NS:-}" ]; then
  unshare -rnm true 2>/dev/null || { echo "SKIP: no user namespaces here (unshare -rnm)"; exit 77; }
  KOSESSION_README_NS=1 exec unshare -rnm "$0" "$@"
fi
src=$(cd "$(dirname "$readme")" && pwd) root=$work/root
rm -rf "$work" && mkdir -p "$work/home" "$root"/{etc/kosession,etc/haproxy,etc/systemd/system,run/haproxy,var/lib} || exit 1
ip link set lo up && for a in 10.0.0.1 10.0.0.5 10.0.0.6; do ip addr add $a/32 dev lo; done || exit 1
printf '127.0.0.1 localhost vr-lab.example.org sessions.example.org\n' >"$work/hosts" && mount --bind "$work/hosts" /etc/hosts || exit 1
export PATH=$bin:$PATH HOME=$work/home TMPDIR=$work KOSESSION_MAP=$root/etc/haproxy/kosession.map \
  KOSESSION_HAPROXY_API=$root/run/haproxy/kosession-api.sock
printf 'our secret\n' | tee "$HOME/.kosession-password" >"$root/etc/kosession/password"
printf 'global\n    stats socket 10.0.0.1:9999 level admin\n' >"$work/api-on-10.0.0.1.cfg"
declare -A server_of  # "HOST:PORT" or "status ADDRESS" -> the README server command that serves it
kept=() lastserver="" n=0
cleanup() { trap - ERR; [ -f "$root/run/haproxy.pid" ] && kill "$(cat "$root/run/haproxy.pid")"; kill $(jobs -p) 2>/dev/null; wait; }
trap cleanup EXIT
set -E; trap 'fail "line $LINENO: $BASH_COMMAND failed"' ERR  # a slip of this script fails it too
fail() { echo "FAILED: $*"; for f in "$work"/*.out; do [ -s "$f" ] && { echo "--- $f"; cat "$f"; }; done; exit 1; }
await() { # await FILE TEXT: up to 15 s
  for _ in $(seq 150); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  fail "no \"$2\" in $1"
}
# No sudo; system folders under $root; HAProxy as a daemon that names its pid and also opens
# the API on 10.0.0.1:9999 that the README's remote server uses.
subst() {
  sed -e 's/\bsudo //g' -e "s#\([ =\"]\)/\(etc\|run\|var\|opt\)/#\1$root/\2/#g" \
    -e "s#^haproxy -f \([^ ]*\) -D#haproxy -f \1 -f $work/api-on-10.0.0.1.cfg -D -p $root/run/haproxy.pid#"
}
# Each expected line as a pattern: runs of hex digits with a digit in them (identifiers, counts,
# times, colours, addresses) stand for any such run.
pattern() {
  sed -e 's/[][\.*^$+?(){}|]/\\&/g' | awk '{ out = ""
    while (match($0, /[0-9a-f]*[0-9][0-9a-f]*/)) { # an identifier (10 digits or more) keeps its length
      out = out substr($0, 1, RSTART - 1) (RLENGTH >= 10 ? "[0-9a-f]{" RLENGTH "}" : "[0-9a-f]+")
      $0 = substr($0, RSTART + RLENGTH) }
    print out $0 }'
}

start_server() { # start_server CMD: runs it as $spid, its link in $link
  n=$((n + 1)); out=$work/server$n.out
  eval "exec env $1" >"$out" 2>&1 &  # exec: $! is the server itself
  spid=$!
  await "$out" "Waiting for participants"
  link=$(sed -n 's/^Session link: //p' "$out")
}
stop_server() { # stop_server PID OUT: SIGTERM ends it cleanly
  kill -TERM "$1" 2>/dev/null || true  # the last participant leaving may have ended it
  wait "$1" || fail "$2: status $? on SIGTERM"
  tail -1 "$2" | grep -qE '^(Session ended|Server exits): ' || fail "$2 does not end with why it ended"
}
remember() { # remember CMD: the server it starts serves its link's HOST:PORT and its status address
  lastserver=$1
  if [ -n "$link" ]; then server_of[${link%/*}]=$1; fi
  if [[ $1 =~ --status\ ([^ ]+) ]]; then server_of["status ${BASH_REMATCH[1]}"]=$1; fi
}
run_server() { # run_server CMD: started, checked, remembered; stopped unless it routes through HAProxy
  start_server "$1"
  remember "$1"
  if [[ $1 == *--state-dir* ]]; then # a restart on the same folder gives the same link
    local first=$link; stop_server $spid "$out"; start_server "$1"
    [ "$link" = "$first" ] || fail "restarted on its --state-dir, the server gives $link, not $first"
  fi
  if [[ $1 == *--haproxy-socket* ]]; then kept+=("$spid:$out:$1"); else stop_server $spid "$out"; fi
}
run_participant() { # run_participant CMD: joins the link of its README server, which then stops
  local readme_link; readme_link=$(grep -oE '([a-z0-9.-]+:[0-9]+/[0-9a-f]+|LINK)' <<<"$1" | tail -1)
  local server=${server_of[${readme_link%/*}]:-$lastserver}
  start_server "$server"
  # Only the identifier is the server's own: a README link with 10 digits is not protected, with 14 it is.
  local id=${readme_link##*/} real=${link##*/}
  [ "$readme_link" = LINK ] || [ ${#id} -eq ${#real} ] ||
    fail "the README's link $readme_link has ${#id} digits, its server's ($link) another number"
  local p=$work/participant$n.out
  eval "exec env ${1//$readme_link/$link}" </dev/null >"$p" 2>&1 &
  local ppid=$!
  await "$p" "joined"
  stop_server $spid "$out"
  wait $ppid || fail "$p: status $?"
  out=$p
}
run_transcript() { # run_transcript CMD EXPECTED: what it prints matches EXPECTED line by line
  local got=$work/transcript$((++n)).out
  case $1 in
    kosession-server*) start_server "$1"; remember "$1"; cp "$out" "$got"; stop_server $spid "$out" ;;
    curl*) # the server of that status address, with ann in its roster
      local server=${server_of["status $(grep -oE '[0-9.]+:[0-9]+' <<<"$1" | head -1)"]}
      start_server "$server"
      [[ $link =~ /[0-9a-f]{14}$ ]] && set -- "$1" "$2" --password-file "$HOME/.kosession-password"
      rm -f "$work/ann.in" && mkfifo "$work/ann.in" && exec 3<>"$work/ann.in"
      kosession-client --name ann "${@:3}" "$link" <"$work/ann.in" >"$work/ann$n.out" 2>&1 &
      await "$work/ann$n.out" "joined"
      eval "$1" >"$got" 2>&1; exec 3>&-; stop_server $spid "$out" ;;
    *) fail "no way to run the transcript command: $1" ;;
  esac
  mapfile -t want <<<"$2"
  local i=0
  while IFS= read -r line; do
    [ $i -lt ${#want[@]} ] || break
    grep -qxE -- "$(pattern <<<"${want[$i]}")" <<<"$line" || fail "$1 printed \"$line\", the README shows \"${want[$i]}\""
    i=$((i + 1))
  done <"$got"
  [ $i -eq ${#want[@]} ] || fail "$1 printed fewer lines than the README shows"
}
end_block() { # the servers kept for HAProxy stop, and take their routes out of the map
  for k in "${kept[@]}"; do stop_server "${k%%:*}" "$(cut -d: -f2 <<<"$k")"; done
  kept=()
  if [ -f "$root/run/haproxy.pid" ]; then kill "$(cat "$root/run/haproxy.pid")"; rm "$root/run/haproxy.pid"; fi
  if [ -s "$KOSESSION_MAP" ]; then fail "routes left in the map: $(cat "$KOSESSION_MAP")"; fi
}
run() { # run LINE CMD
  local cmd; cmd=$(subst <<<"$2")
  echo "README.md:$1: $2"; [ "$cmd" = "$2" ] || echo "    runs as: $cmd"
  local says; says=$(sed -n 's/.*[[:space:]]#[^"]*"\([^"]*\)".*/\1/p' <<<"$cmd")
  local program; program=$(sed -E "s/^([A-Z_]+=('[^']*'|[^ ]*) )*//; s/ .*//" <<<"$cmd")
  for tool in haproxy socat; do
    if [[ $cmd == *$tool* ]] && ! command -v $tool >/dev/null; then echo "    not run: no $tool here (scripts/install-deps)"; return; fi
  done
  case $cmd in
    "systemctl enable --now kosession-server") # the unit's command line, as systemd runs it
      cmd=$(sed -n 's/^ExecStart=//p' "$root/etc/systemd/system/kosession-server.service" | subst |
        sed -e "s#^/usr/local/bin/##; s#\${CREDENTIALS_DIRECTORY}#$root/etc/kosession#" \
          -e "s#\${STATE_DIRECTORY}#$work/unit-state#")
      echo "    runs as: $cmd"; run_server "$cmd"; echo "    ok"; return ;;
    journalctl\ -u\ kosession-server*) echo "    its lines: those of the unit's server above" ;;
    systemctl*|make\ \&\&*) echo "    not run: needs systemd, or installs into the system (the package test installs)"; return ;;
  esac
  case $program in
    journalctl) ;;
    make) local target=${cmd%%#*}; make -n -C "$src" ${target#make} >/dev/null || fail "make has no such target"
      echo "    make -n: ok"; return ;;
    kosession-server) run_server "$cmd" ;;
    kosession-client|kosession-host) run_participant "$cmd" ;;
    export|g++)
      echo "    not run here: the package test runs these lines against the package it installs"; return ;;
    echo) local shown; shown=$(eval "$cmd") || fail "$cmd: status $?"
      sed 's/^/    | /' <<<"$shown"
      for k in "${kept[@]}"; do
        if [[ $k =~ --port\ ([0-9]+)\ --listen\ ([0-9.]+) ]]; then
          grep -q " ${BASH_REMATCH[2]}:${BASH_REMATCH[1]}\$" <<<"$shown" || fail "the map shows no route to ${BASH_REMATCH[2]}:${BASH_REMATCH[1]}"
        fi
      done ;;
    *) out=$work/command$((++n)).out; eval "$cmd" >"$out" 2>&1 || fail "status $?" ;;
  esac
  [ -z "$says" ] || grep -qF -- "$says" "$out" || fail "it does not say \"$says\""
  echo "    ok"
}

# The README's INI block is the /etc/kosession/server.ini its commands read.
awk '/^```ini$/ { inside = 1; next } inside && /^```$/ { exit } inside' "$readme" | subst >"$root/etc/kosession/server.ini"
# One line per command: LINE<TAB>sh|$|>|end<TAB>text; a backslash joins the next line, ">" is
# a line a transcript shows, "end" closes a block.
awk '/^```/ && !kind { kind = $0 == "```sh" ? "sh" : $0 == "```" ? "text" : "other"; next }
  /^```/ { print NR "\tend\t"; kind = ""; shown = 0; next }
  kind == "sh" && /^[[:space:]]*#/ { next }
  kind == "sh" && /\\$/ { sub(/\\$/, ""); held = held $0; next }
  kind == "sh" && NF { print NR "\tsh\t" held $0; held = "" }
  kind == "text" && /^\$ / { print NR "\t$\t" substr($0, 3); shown = 1; next }
  kind == "text" && shown { print NR "\t>\t" $0 }
  !kind { shown = 0 }' "$readme" >"$work/commands"
cd "$src" || exit 1
pending="" expected=""
while IFS=$'\t' read -r line kind text; do
  if [ "$kind" = ">" ]; then expected+="${expected:+$'\n'}$text"; continue; fi
  [ -z "$pending" ] || { echo "README.md: \$ $pending"; run_transcript "$(subst <<<"$pending")" "$expected"; echo "    ok"; }
  pending="" expected=""
  case $kind in sh) run "$line" "$text" ;; \$) pending=$text ;; end) end_block ;; esac
done <"$work/commands"
echo "every README command ran as shown"
