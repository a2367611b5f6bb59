#include "shell/superuser.h"

bool RunsAsSuperuser()
{
    return false;
}
