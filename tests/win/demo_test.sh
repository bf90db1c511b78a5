#!/usr/bin/env bash
# shellcheck disable=SC2154  # scratch, shots, box and rc come from lib.sh
# demo_test.sh [SHOT]: the demo client in the Windows host under Wine,
# against the demo's server on Linux: its walk-through, a screenshot of its
# window (copied to SHOT when given), and what it logged; without a server
# address, the box that says so.
# Environment as for lib.sh, and QSNSERVER (the Linux qsnserver).
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
QSNSERVER=${QSNSERVER:?path of qsnserver}
root=$(cd "$(dirname "$0")/../.." && pwd)
shot=${1:-}

d=$(windir demo)
"$QSNPACK" pack "$root/demo/client.tcl" "$d/init.dat"
(cd "$d" && exec "$QSNSERVER" --listen 127.0.0.1:0 "$root/demo/server.tcl" \
  >"$d/server.log" 2>&1) &
server=$!
url=$(server_url "$d/server.log" "$server") || true
check "server up" test -n "$url"

# The walk-through takes the screenshot of the session's display; it runs a
# program by its path, so Wine gets a script of its own to start.
printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$QSNCLIENT_EXE" >"$scratch/client"
chmod +x "$scratch/client"
"$root/demo/walkthrough.sh" "$scratch/client" "$url" "$d"
kill "$server"
wait "$server" 2>/dev/null

check "screenshot saved" test -s "$d/screenshot.png"
colours=$(identify -format '%k' "$d/screenshot.png" 2>/dev/null)
check "screenshot is not blank" test "${colours:-0}" -gt 20
for line in "Вход пользователя Анна" "Добавлена задача Купить молоко" \
  "Ошибка запроса add: Название задачи не может быть пустым" \
  "Список обновлён" "Сценарий показа пройден" "Работа завершена" "response code=200"; do
  check "log: $line" log_has "$d" "$line"
done
[ -z "$shot" ] || cp "$d/screenshot.png" "$shot"

# Without a server address, as the installer's shortcut starts it by
# default, the demo says so in a box of its own and ends with status 2.
d=$(windir noserver)
"$QSNPACK" pack "$root/demo/client.tcl" "$d/init.dat"
box_run "$d" "$shots/demo-no-server.png" '^Список задач$' LC_ALL=C.UTF-8
check "no server: a box" test -n "$box"
check "no server: status 2" equals status 2 "$rc"
check "no server: logged" log_has "$d" "Не указан адрес сервера"
finish
