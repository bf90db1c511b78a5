# Shared tasks: the demo's application logic for qsnserver, kept in SQLite.
# The database file is $env(QSN_DEMO_DB), or tasks.db in the working folder.

package require sqlite3

namespace eval demo {
    variable dbfile [expr {[info exists ::env(QSN_DEMO_DB)] ? $::env(QSN_DEMO_DB) : "tasks.db"}]
}
sqlite3 demo::db $demo::dbfile
demo::db eval {
    PRAGMA journal_mode = WAL;
    CREATE TABLE IF NOT EXISTS users (
        id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL,
        signed_in TEXT, views INTEGER NOT NULL DEFAULT 0);
    CREATE TABLE IF NOT EXISTS tasks (
        id INTEGER PRIMARY KEY, title TEXT NOT NULL, done INTEGER NOT NULL DEFAULT 0,
        author INTEGER NOT NULL REFERENCES users(id),
        created TEXT NOT NULL DEFAULT (datetime('now')));
}

# The signed-in user of this request: sign-in moves each client to its own
# path /u/ID, so the path names the user.
proc demo::user {} {
    if {![regexp {/u/([0-9]+)$} [qsn::path] -> id] ||
        ![db exists {SELECT 1 FROM users WHERE id = :id}]} {
        error "Сначала войдите в систему"
    }
    return $id
}

proc demo::tasks {} {
    set out {}
    db eval {SELECT t.id, t.title, t.done, u.name AS author
             FROM tasks t JOIN users u ON u.id = t.author ORDER BY t.id} row {
        lappend out [dict create id $row(id) title $row(title) done $row(done) \
                         author $row(author)]
    }
    return $out
}

proc demo::task {id} {
    if {![string is entier -strict $id] || ![db exists {SELECT 1 FROM tasks WHERE id = :id}]} {
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
    demo::db eval {
        INSERT INTO users(name) VALUES(:name) ON CONFLICT(name) DO NOTHING;
        UPDATE users SET signed_in = datetime('now') WHERE name = :name;
    }
    set id [demo::db onecolumn {SELECT id FROM users WHERE name = :name}]
    qsn::changeurl /u/$id
    return [demo::tasks]
}

proc rpc::list {} {
    demo::user
    demo::tasks
}

proc rpc::add {title} {
    set user [demo::user]
    set title [demo::title $title]
    demo::db eval {INSERT INTO tasks(title, author) VALUES(:title, :user)}
    demo::tasks
}

proc rpc::edit {id title} {
    demo::user
    set id [demo::task $id]
    set title [demo::title $title]
    demo::db eval {UPDATE tasks SET title = :title WHERE id = :id}
    demo::tasks
}

proc rpc::toggle {id} {
    demo::user
    set id [demo::task $id]
    demo::db eval {UPDATE tasks SET done = NOT done WHERE id = :id}
    demo::tasks
}

proc rpc::delete {id} {
    demo::user
    set id [demo::task $id]
    demo::db eval {DELETE FROM tasks WHERE id = :id}
    demo::tasks
}

# Sent without waiting when a task is selected: counts what users look at.
proc rpc::viewed {id} {
    set user [demo::user]
    demo::db eval {UPDATE users SET views = views + 1 WHERE id = :user}
    return
}

proc rpc::signout {} {
    demo::user
    return
}
