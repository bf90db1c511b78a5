#!/usr/bin/env bash
# The demo's headless walk-through, end to end: its screenshot, its log and
# the database it leaves behind.
source "$(dirname "$0")/lib.sh"
QSNSERVER=${QSNSERVER:?path of qsnserver}
root=$(cd "$(dirname "$0")/../.." && pwd)

d=$(workdir demo)
"$root/demo/run.sh" "$QSNCLIENT" "$QSNPACK" "$QSNSERVER" "$d" --headless >"$d/out.txt" 2>&1
check "demo run exits 0" equals status 0 "$?"

# A real picture of the window: its size, and far more than one colour.
check "screenshot saved" test -s "$d/screenshot.png"
check "screenshot size" equals size "720x512" "$(identify -format '%wx%h' "$d/screenshot.png" 2>/dev/null)"
colours=$(identify -format '%k' "$d/screenshot.png" 2>/dev/null)
check "screenshot is not blank" test "${colours:-0}" -gt 20

# What a support engineer reads in the log.
for line in "Вход пользователя Анна" "Добавлена задача Купить молоко" \
  "Изменена задача 2" "Отмечена задача 1" \
  "Ошибка запроса add: Название задачи не может быть пустым" \
  "Список обновлён" "Сценарий показа пройден" "Работа завершена" \
  "command=signin" "arglist=Анна" "perform with no wait" "response code=200"; do
  check "log: $line" log_has "$d" "$line"
done
# The sign-in moved the session to the user's own path.
check "log: per-user path" log_has "$d" "url='http://127.0.0.1:"
check "log: per-user path after sign-in" grep -qa '/u/1'"'" "$d/qsnclient.log"
check "server saw the fire-and-forget request" grep -q ' viewed 200 ' "$d/server.log"

# The database holds what the walk-through did.
tasks=$(tclsh /dev/stdin "$d/tasks.db" <<'TCL'
package require sqlite3
sqlite3 db [lindex $argv 0]
puts [db eval {SELECT title, done FROM tasks ORDER BY id}]
puts [db eval {SELECT name, views > 0 FROM users}]
TCL
)
check "tasks in the database" equals tasks \
  $'{Купить молоко} 1 {Позвонить в банк до пятницы} 0 {Написать отчёт за декабрь} 0\nАнна 1' \
  "$tasks"

finish
