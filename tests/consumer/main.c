#include <stdio.h>
#include <valmora.h>

int main(void)
{
    unsigned char rec[8] = {'G', 'R', 'I', 'B', 0, 0, 24, 1};
    printf("edition %d\n", gribVersion(rec, sizeof rec));
    return gribVersion(rec, sizeof rec) == 1 ? 0 : 1;
}
