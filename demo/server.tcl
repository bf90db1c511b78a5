# Shared tasks: the demo's application logic for qsnserver. The data lives
# in the database demo/store.tcl opens (SQLite in a file, or PostgreSQL
# shared by several servers); nothing a request needs is kept in memory.
#
# Writes take an optional last argument, a request id the client chooses:
# a write sent again with the same id (after an error that left the client
# unsure whether it happened) is not applied twice.

source [file join [file dirname [info script]] store.tcl]

# The signed-in user of this request: sign-in moves each client to its own
# path /u/ID, so the path names the user.
proc demo::user {} {
    if {![regexp {/u/([0-9]+)$} [qsn::path] -> id] ||
        ![llength [sql {SELECT 1 FROM users WHERE id = :id}]]} {
        error "Сначала войдите в систему"
    }
    return $id
}

proc demo::tasks {} {
    set out {}
    foreach row [sql {SELECT t.id, t.title, t.done, u.name
                      FROM tasks t JOIN users u ON u.id = t.author ORDER BY t.id}] {
        lassign $row id title done author
        lappend out [dict create id $id title $title done $done author $author]
    }
    return $out
}

proc demo::task {id} {
    if {![string is entier -strict $id] || ![llength [sql {SELECT 1 FROM tasks WHERE id = :id}]]} {
        error "Нет задачи с номером $id"
    }
    return $id
}

proc demo::title {title} {
    set title [string trim $title]
    if {$title eq ""} { error "Название задачи не может быть пустым" }
    if {[string length $title] > 200} { error "Название задачи длиннее 200 знаков" }
    return $title
}

namespace eval rpc {}

proc rpc::signin {name} {
    set name [string trim $name]
    if {$name eq ""} { error "Имя не может быть пустым" }
    demo::atomically {
        demo::sql {INSERT INTO users(name) VALUES(:name) ON CONFLICT (name) DO NOTHING}
        demo::sql {UPDATE users SET signed_in = CURRENT_TIMESTAMP WHERE name = :name}
        set id [lindex [demo::sql {SELECT id FROM users WHERE name = :name}] 0 0]
        qsn::changeurl /u/$id
        demo::tasks
    }
}

proc rpc::tasks {} {
    demo::atomically {
        demo::user
        demo::tasks
    }
}

proc rpc::add {title {rid ""}} {
    demo::atomically {
        set user [demo::user]
        set title [demo::title $title]
        if {[demo::unseen $user $rid add]} {
            demo::sql {INSERT INTO tasks(title, author) VALUES(:title, :user)}
        }
        demo::tasks
    }
}

proc rpc::edit {id title {rid ""}} {
    demo::atomically {
        set user [demo::user]
        set id [demo::task $id]
        set title [demo::title $title]
        if {[demo::unseen $user $rid edit]} {
            demo::sql {UPDATE tasks SET title = :title WHERE id = :id}
        }
        demo::tasks
    }
}

proc rpc::toggle {id {rid ""}} {
    demo::atomically {
        set user [demo::user]
        set id [demo::task $id]
        if {[demo::unseen $user $rid toggle]} {
            demo::sql {UPDATE tasks SET done = 1 - done WHERE id = :id}
        }
        demo::tasks
    }
}

proc rpc::delete {id {rid ""}} {
    demo::atomically {
        set user [demo::user]
        if {[demo::unseen $user $rid delete]} {
            set id [demo::task $id]
            demo::sql {DELETE FROM tasks WHERE id = :id}
        }
        demo::tasks
    }
}

# Sent without waiting when a task is selected: counts what users look at.
proc rpc::viewed {id} {
    demo::atomically {
        set user [demo::user]
        demo::sql {UPDATE users SET views = views + 1 WHERE id = :user}
    }
    return
}

proc rpc::signout {} {
    demo::atomically { demo::user }
    return
}

# A server that starts while the database is down still starts: its
# requests fail with "База данных недоступна" until the database is back.
if {[catch {demo::connect} message]} {
    puts stderr "demo/server.tcl: $message"
}
