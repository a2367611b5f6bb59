#include "shell/superuser.h"

#include <unistd.h>

bool RunsAsSuperuser()
{
    return ::geteuid() == 0;
}
