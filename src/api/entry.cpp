#include "api/entry.h"

#include "base/error.h"
#include "platform/fs.h"

int check_input_file(const char* path) {
    uint32_t attrs = fs_file_attributes(path);
    if (attrs == FS_INVALID_ATTRIBUTES || (attrs & (FS_ATTR_DIRECTORY | FS_ATTR_DEVICE))) {
        set_err("file not found: %s", path);
        return -1;
    }
    return 0;
}
