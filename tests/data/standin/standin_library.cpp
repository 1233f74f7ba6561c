// A shared library that must never be loaded: if a process ever loads it, it
// leaves "library-ran" in $ORBA_ROOT, which the tests look for.
#include <cstdio>
#include <cstdlib>
#include <string>

__attribute__((constructor)) static void leaveMark()
{
    const char *root = std::getenv("ORBA_ROOT");
    if (FILE *mark = std::fopen((std::string(root ? root : "/tmp") + "/library-ran").c_str(), "w"))
        std::fclose(mark);
}
