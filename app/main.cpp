#include <cstdio>

int main()
{
    std::printf("torvenc: front end not built yet\n");
    return 0;
}
