# The application of the benchmark's qsnserver: commands that keep their
# reply back for a while, as a server's work would. qsn::delay waits on the
# connection's own thread, so the requests of several sessions wait side by
# side.
namespace eval rpc {}

# Answers after 50 ms.
proc rpc::ping {} {
    qsn::delay 50
    return ok
}

# Answers after `ms` milliseconds.
proc rpc::slow {ms} {
    qsn::delay $ms
    return ok
}
