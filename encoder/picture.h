// Pooled pictures (provisional: the full record comes with the picture pools).
#pragma once

struct picture;

// Releases every buffer of a picture and the record itself; null is ignored.
void picture_free(picture *pic);
