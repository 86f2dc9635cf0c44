#include "encoder/picture.h"

#include "encoder/memory.h"

void picture_free(picture *pic)
{
    aligned_free(pic);
}
