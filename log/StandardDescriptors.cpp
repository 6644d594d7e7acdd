#include "log/StandardDescriptors.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

bool OpenClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor is the one just found closed, as those below it are open.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened < 0) {
            return false;
        }
        if (opened != fd) {
            const bool moved = ::dup2(opened, fd) == fd;
            ::close(opened);
            if (!moved) {
                return false;
            }
        }
    }
    return true;
}
