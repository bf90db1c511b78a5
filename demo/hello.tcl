# An example application script: logs a few lines and ends.
mputs "Запуск примера" "аргументы: $argv"
mputs "Tcl [info patchlevel], уровень журнала $loglevel"
if {[catch {winfo screen .} screen]} {
    mputs "Без экрана:" $screen
} else {
    mputs "Экран:" $screen
}
set loglevel 4
mputs "Уровень журнала теперь $loglevel"
mputs "Готово"
