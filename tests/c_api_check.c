/* The public header used from C: walks a file and prints what it finds. */
#include <stdio.h>

#include "pqz2_read.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    ReaderHandle* h = pqzOpen(argv[1]);
    if (!h || pqzGetLastError(h) != 0) return 1;
    int images = 0, extras = 0, t;
    while ((t = pqzGetNextBlockType(h)) == PQZ_BLOCK_IMAGE || t == PQZ_BLOCK_EXTRA) {
        if (t == PQZ_BLOCK_IMAGE) {
            AuxHeader* aux = NULL;
            DibImage* d = pqzReadImage(h, &aux);
            if (!d) return 1;
            images++;
            pqzFreeResource(aux);
            pqzFreeResource(d);
        } else {
            ExtraBlock* e = pqzReadED(h);
            if (!e) return 1;
            extras++;
            pqzFreeResource(e);
        }
    }
    printf("%d images, %d extra blocks\n", images, extras);
    return pqzClose(h) == 1 && t == PQZ_BLOCK_END ? 0 : 1;
}
