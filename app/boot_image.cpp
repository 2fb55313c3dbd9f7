#include "app/boot_image.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

// Anything but a regular file is turned away before it is opened: a FIFO
// would block the open, and a directory or a device has no length to seek to.
static int exists_but_not_regular(const char *path)
{
    struct stat status;
    return stat(path, &status) == 0 && !S_ISREG(status.st_mode);
}

ImageOutcome load_boot_image(const char *path, BootImage *image)
{
    image->file = nullptr;
    image->block = nullptr;
    image->length = 0;

    if (exists_but_not_regular(path)) {
        fprintf(stderr, "Could not load file '%s': not a regular file.\n", path);
        return IMAGE_NOT_LOADABLE;
    }
    image->file = fopen(path, "rb");
    if (image->file == nullptr) {
        fprintf(stderr, "Could not open file '%s'.\n  %s.\n", path, strerror(errno));
        return IMAGE_OPEN_FAILED;
    }

    fseek(image->file, 0, SEEK_END);
    long length = ftell(image->file);
    fseek(image->file, 0, SEEK_SET);
    if (length < 0 || length > BOOT_IMAGE_MAX_LENGTH) {
        fprintf(stderr, "Could not load file '%s': too large for a boot image.\n", path);
        return IMAGE_NOT_LOADABLE;
    }
    image->length = static_cast<int>(length);

    image->block = static_cast<unsigned char *>(malloc(image->length + BOOT_TRAILER_SIZE));
    if (image->block == nullptr) {
        fprintf(stderr, "Could not malloc %d bytes mem.\n", image->length);
        return IMAGE_NO_MEMORY;
    }
    if (fread(image->block, 1, image->length, image->file) != static_cast<size_t>(image->length)) {
        fprintf(stderr, "Could not read %d bytes of file data.\n", image->length);
        return IMAGE_READ_SHORT;
    }
    return IMAGE_LOADED;
}

static void put_le32(unsigned char *bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

void append_boot_trailer(unsigned char *block, int length, bool erase)
{
    BootTrailer trailer = {BOOT_TRAILER_MAGIC, erase ? BOOT_FLAG_ERASE_FLASH : 0};
    put_le32(block + length, trailer.magic);
    put_le32(block + length + 4, trailer.flags);
}

void release_boot_image(BootImage *image)
{
    free(image->block);
    if (image->file != nullptr)
        fclose(image->file);
    image->block = nullptr;
    image->file = nullptr;
}
