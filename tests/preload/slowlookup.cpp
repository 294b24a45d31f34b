// Preloaded into the program by the terminal tests: a name lookup that does not answer for
// two minutes, like a resolver that has gone quiet, without any network. It answers no name
// at all, so nothing looked up under it leaves the machine. It says on standard error when a
// lookup has begun.
#include <netdb.h>
#include <unistd.h>

#include <ctime>

extern "C" int getaddrinfo(const char *, const char *, const addrinfo *, addrinfo **)
{
    static constexpr char Begun[] = "slowlookup: lookup begun\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, Begun, sizeof Begun - 1);
    timespec rest{120, 0};
    // A signal that lands on this thread cuts a sleep short: sleep the rest.
    while (::nanosleep(&rest, &rest) != 0) { }
    return EAI_AGAIN;
}
