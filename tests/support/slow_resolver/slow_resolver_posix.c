/* POSIX code only: a name server that takes its time (it lost power too),
 * and one that knows names of several addresses, preloaded by tests into the
 * client with LD_PRELOAD. A name ending in ".slow.test" resolves to
 * 127.0.0.1 after CVN_SLOW_RESOLVER_MS milliseconds (12000 when not set); one
 * ending in ".v6.test" resolves to ::1 only, one ending in ".two.test" to
 * ::1 and then 127.0.0.1, in that order; every other name goes to the
 * system's resolver.
 * Both of the system's calls are taken: the native client asks getaddrinfo,
 * Wine's Winsock gethostbyname_r. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static const char kSuffix[] = ".slow.test";

static int EndsWith(const char* name, const char* suffix)
{
    size_t length = name ? strlen(name) : 0;
    size_t size = strlen(suffix);
    return length >= size && strcmp(name + length - size, suffix) == 0;
}

static int IsSlow(const char* name)
{
    return EndsWith(name, kSuffix);
}

static void TakeTime(void)
{
    const char* value = getenv("CVN_SLOW_RESOLVER_MS");
    long ms = value ? atol(value) : 12000;
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints, struct addrinfo** res)
{
    typedef int (*Real)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    Real real = (Real)dlsym(RTLD_NEXT, "getaddrinfo");
    if (EndsWith(node, ".v6.test"))
        node = "::1";
    if (EndsWith(node, ".two.test")) {
        /* Two answers joined into one list: glibc's freeaddrinfo frees each
         * entry on its own. */
        struct addrinfo* first = NULL;
        struct addrinfo* second = NULL;
        int result = real("::1", service, hints, &first);
        if (result != 0)
            return real("127.0.0.1", service, hints, res);
        if (real("127.0.0.1", service, hints, &second) == 0) {
            struct addrinfo* last = first;
            while (last->ai_next)
                last = last->ai_next;
            last->ai_next = second;
        }
        *res = first;
        return 0;
    }
    if (IsSlow(node)) {
        TakeTime();
        node = "127.0.0.1";
    }
    return real(node, service, hints, res);
}

int gethostbyname_r(const char* name, struct hostent* ret, char* buf, size_t buflen, struct hostent** result,
                    int* h_errnop)
{
    typedef int (*Real)(const char*, struct hostent*, char*, size_t, struct hostent**, int*);
    Real real = (Real)dlsym(RTLD_NEXT, "gethostbyname_r");
    if (IsSlow(name)) {
        TakeTime();
        name = "127.0.0.1";
    }
    return real(name, ret, buf, buflen, result, h_errnop);
}
