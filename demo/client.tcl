# Shared tasks: the demo client application, shipped as init.dat.
#
# Usage: qsnclient URL ?-walkthrough?
#   URL           the application server, for example http://127.0.0.1:8080/
#   -walkthrough  signs in, works through the tasks by itself, writes the
#                 file walkthrough.done in the working directory, and closes
#                 once the file shot.taken appears (or after 20 seconds).

package require Tk

namespace eval app {
    variable url [lindex $::argv 0]
    variable walkthrough [expr {"-walkthrough" in $::argv}]
    variable session {}
    variable user {}
    variable status "Не подключено"
    variable traffic ""
    variable newtitle ""
    variable rtotal 0
    variable stotal 0
    variable busy 0
}

# --- Talking to the server ------------------------------------------------

# The statistics callback: feeds the status bar with the session's totals
# and the last request's speed.
proc app::stats {name value} {
    variable traffic
    switch -- $name {
        artotal { set ::app::rtotal $value }
        astotal { set ::app::stotal $value }
        rspeed {
            set traffic [format "Отправлено %s, получено %s, скорость %s/с" \
                [bytes $::app::stotal] [bytes $::app::rtotal] [bytes $value]]
        }
    }
}

proc app::bytes {n} {
    if {$n >= 1048576} { return [format "%.1f МБ" [expr {$n / 1048576.0}]] }
    if {$n >= 1024} { return [format "%.1f КБ" [expr {$n / 1024.0}]] }
    return "$n Б"
}

# Sends one request and waits for its reply. A server error is shown to the
# user as its message alone; its trace (the server's and the client's) goes
# to the log for whoever supports the user. The error then goes on to the
# caller.
proc app::call {command args} {
    variable session
    variable status
    set status "Запрос $command..."
    update idletasks
    if {[catch {requestQSN $session $command $args 0 ::app::stats} reply]} {
        failed $command $reply $::errorInfo
        return -code error $reply
    }
    set status "Готово: $command"
    return $reply
}

proc app::failed {command message info} {
    set ::app::status "Ошибка: $message"
    mputs "Ошибка запроса" $command: $message
    mputs "Трассировка:" $info
    errordialog $command $message
}

# Reloads the list without waiting for it: the window goes on redrawing,
# with a busy cursor and no clicks taken, until refreshed has the reply.
proc app::refresh {} {
    variable session
    variable busy
    if {$::app::user eq "" || $busy} { return }
    set busy 1
    set ::app::status "Запрос tasks..."
    tk busy hold .
    sendQSN $session tasks {} app::refreshed ::app::stats
}

proc app::refreshed {code reply} {
    set ::app::busy 0
    tk busy forget .
    if {$code != 0} {
        failed tasks $reply $::errorInfo
        return
    }
    mputs "Список обновлён"
    show $reply
}

# Fire and forget: the request moves on while the window waits for events,
# or at the next request, which first completes it.
proc app::notify {command args} {
    variable session
    requestQSN $session $command $args 1
}

# --- Windows ----------------------------------------------------------------

proc app::errordialog {command message} {
    set w .error
    destroy $w
    toplevel $w
    wm title $w "Ошибка сервера"
    ttk::label $w.msg -text "Команда \"$command\" не выполнена:\n$message" \
        -wraplength 420 -justify left
    ttk::label $w.where -text "Подробности записаны в журнал qsnclient.log." \
        -wraplength 420 -justify left
    ttk::button $w.ok -text "Закрыть" -command [list destroy $w]
    grid $w.msg -sticky w -padx 8 -pady 4
    grid $w.where -sticky w -padx 8
    grid $w.ok -pady 8
    grid columnconfigure $w 0 -weight 1
}

proc app::build {} {
    wm title . "Общие задачи"
    wm protocol . WM_DELETE_WINDOW app::quit
    wm minsize . 560 360

    menu .menu
    menu .menu.file -tearoff 0
    .menu.file add command -label "Обновить" -command app::refresh
    .menu.file add separator
    .menu.file add command -label "Выход" -command app::quit
    menu .menu.log -tearoff 0
    foreach {level label} {0 "0 - выключен" 1 "1 - ошибки" 2 "2 - пустые ответы"
                           3 "3 - обычный" 4 "4 - полный"} {
        .menu.log add radiobutton -label $label -value $level -variable ::loglevel \
            -command [list mputs "Уровень журнала" $level]
    }
    .menu add cascade -label "Файл" -menu .menu.file
    .menu add cascade -label "Журнал" -menu .menu.log
    . configure -menu .menu

    ttk::frame .signin -padding 8
    ttk::label .signin.l -text "Ваше имя:"
    ttk::entry .signin.name -textvariable app::user -width 24
    ttk::button .signin.go -text "Войти" -command app::signin
    bind .signin.name <Return> app::signin
    grid .signin.l .signin.name .signin.go -padx 4

    ttk::frame .tasks -padding {8 0}
    ttk::treeview .tasks.tree -columns {done title author} -show headings \
        -selectmode browse -height 8
    .tasks.tree heading done -text "Сделано"
    .tasks.tree heading title -text "Задача"
    .tasks.tree heading author -text "Автор"
    .tasks.tree column done -width 70 -anchor center -stretch 0
    .tasks.tree column title -width 340
    .tasks.tree column author -width 120 -stretch 0
    ttk::scrollbar .tasks.sb -command {.tasks.tree yview}
    .tasks.tree configure -yscrollcommand {.tasks.sb set}
    bind .tasks.tree <<TreeviewSelect>> app::selected
    grid .tasks.tree .tasks.sb -sticky nsew
    grid columnconfigure .tasks 0 -weight 1
    grid rowconfigure .tasks 0 -weight 1

    ttk::frame .edit -padding 8
    ttk::entry .edit.title -textvariable app::newtitle
    bind .edit.title <Return> app::add
    ttk::button .edit.add -text "Добавить" -command app::add
    ttk::button .edit.save -text "Изменить" -command app::edit
    ttk::button .edit.done -text "Выполнено" -command app::toggle
    ttk::button .edit.del -text "Удалить" -command app::remove
    grid .edit.title .edit.add .edit.save .edit.done .edit.del -padx 2 -sticky ew
    grid columnconfigure .edit 0 -weight 1

    ttk::frame .bar -relief sunken -padding 2
    ttk::label .bar.status -textvariable app::status -anchor w
    ttk::label .bar.traffic -textvariable app::traffic -anchor e
    grid .bar.status .bar.traffic -sticky ew
    grid columnconfigure .bar 0 -weight 1

    grid .signin -sticky w
    grid .tasks -sticky nsew
    grid .edit -sticky ew
    grid .bar -sticky ew
    grid columnconfigure . 0 -weight 1
    grid rowconfigure . 1 -weight 1
    foreach w {.edit.title .edit.add .edit.save .edit.done .edit.del} {
        $w state disabled
    }
}

# --- Actions ------------------------------------------------------------------

proc app::signin {} {
    variable user
    variable status
    set user [string trim $user]
    if {$user eq ""} { return }
    mputs "Вход пользователя" $user
    if {[catch {call signin $user} tasks]} { return }
    foreach w {.edit.title .edit.add .edit.save .edit.done .edit.del} {
        $w state !disabled
    }
    .signin.name state disabled
    .signin.go state disabled
    wm title . "Общие задачи - $user"
    show $tasks
    focus .edit.title
}

proc app::show {tasks} {
    set keep [.tasks.tree selection]
    .tasks.tree delete [.tasks.tree children {}]
    foreach task $tasks {
        dict with task {
            .tasks.tree insert {} end -id t$id \
                -values [list [expr {$done ? "да" : ""}] $title $author]
        }
    }
    if {$keep ne "" && [.tasks.tree exists $keep]} { .tasks.tree selection set $keep }
    set ::app::status "Задач: [llength $tasks]"
}

proc app::current {} {
    set item [.tasks.tree selection]
    if {$item eq ""} { return "" }
    string range $item 1 end
}

proc app::selected {} {
    set id [current]
    if {$id eq ""} { return }
    set ::app::newtitle [lindex [.tasks.tree item t$id -values] 1]
    notify viewed $id
}

proc app::add {} {
    variable newtitle
    if {[catch {call add $newtitle} tasks]} { return }
    mputs "Добавлена задача" $newtitle
    set newtitle ""
    show $tasks
}

proc app::edit {} {
    set id [current]
    if {$id eq "" || [catch {call edit $id $::app::newtitle} tasks]} { return }
    mputs "Изменена задача" $id
    show $tasks
}

proc app::toggle {} {
    set id [current]
    if {$id eq "" || [catch {call toggle $id} tasks]} { return }
    mputs "Отмечена задача" $id
    show $tasks
}

proc app::remove {} {
    set id [current]
    if {$id eq "" || [catch {call delete $id} tasks]} { return }
    mputs "Удалена задача" $id
    set ::app::newtitle ""
    show $tasks
}

proc app::quit {} {
    variable session
    if {$session ne ""} {
        catch {requestQSN $session signout {} 0}
        closeQSNsession $session
        set session {}
    }
    mputs "Работа завершена"
    set ::app::finished 1
}

# --- The walk-through -----------------------------------------------------------

# Does what a person would, with pauses so the window redraws between steps.
proc app::walk {} {
    set steps {
        {set ::app::user "Анна"}
        {app::signin}
        {set ::app::newtitle "Купить молоко"}
        {app::add}
        {set ::app::newtitle "Позвонить в банк"}
        {app::add}
        {set ::app::newtitle "Написать отчёт за декабрь"}
        {app::add}
        {app::pick "Позвонить в банк"}
        {set ::app::newtitle "Позвонить в банк до пятницы"}
        {app::edit}
        {app::pick "Купить молоко"}
        {app::toggle}
        {set ::app::newtitle ""}
        {app::add}
        {destroy .error}
        {app::pick "Написать отчёт за декабрь"}
        {app::refresh}
        {app::ready}
    }
    set delay 300
    foreach step $steps {
        after $delay $step
        incr delay 300
    }
}

proc app::pick {title} {
    foreach item [.tasks.tree children {}] {
        if {[lindex [.tasks.tree item $item -values] 1] eq $title} {
            .tasks.tree selection set $item
            .tasks.tree see $item
            update
            return
        }
    }
}

proc app::ready {} {
    # The screenshot shows the list once the refresh before has its reply.
    if {$::app::busy} {
        after 100 app::ready
        return
    }
    mputs "Сценарий показа пройден"
    update
    # The window's extent on the screen, menu bar included, for the
    # screenshot taken outside.
    set f [open walkthrough.done w]
    puts $f "[expr {[winfo rootx .] + [winfo width .]}] [expr {[winfo rooty .] + [winfo height .]}]"
    close $f
    app::waitshot 200
}

proc app::waitshot {left} {
    if {[file exists shot.taken] || $left <= 0} {
        app::quit
        return
    }
    after 100 [list app::waitshot [expr {$left - 1}]]
}

# --- Start ----------------------------------------------------------------------

mputs "Запуск клиента" "сервер: $app::url"
if {$app::url eq ""} {
    mputs "Не указан адрес сервера"
    # Started from a shortcut there is nothing else to see; unattended runs
    # turn such boxes off as they do the host's.
    set quiet [expr {[info exists ::env(QSNCLIENT_NO_MESSAGE_BOX)]
                     && $::env(QSNCLIENT_NO_MESSAGE_BOX) ne ""}]
    if {[llength [info commands winfo]] && !$quiet} {
        wm withdraw .
        tk_messageBox -icon error -title "Список задач" -message "Не указан адрес сервера" \
            -detail "Запустите клиент с адресом сервера, например:\nqsnclient http://127.0.0.1:8080/"
    }
    exit 2
}
app::build
if {$app::walkthrough} { wm geometry . 720x480+0+0 }
set app::session [createQSNsession $app::url]
mputs "Открыт сеанс" $app::session
set app::status "Сервер: $app::url"
if {$app::walkthrough} { app::walk }
vwait ::app::finished
destroy .
