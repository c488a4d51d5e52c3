// Holds the headers this unit is compiled against to the x86 layouts of kit_layout.h. Built
// by the image build against the kit and by the 32-bit host build against the stand-in; it
// produces no code.
#include "filter.h"

#include <stddef.h>

#define LAYOUT_RECORD(record, size) static_assert(sizeof(record) == (size), #record " size");
#define LAYOUT_FIELD(record, field, offset, size)                                                  \
    static_assert(offsetof(record, field) == (offset), #record "." #field " offset");              \
    static_assert(sizeof(static_cast<record*>(nullptr)->field) == (size),                          \
                  #record "." #field " size");

#define KIT_RECORD LAYOUT_RECORD
#define KIT_FIELD LAYOUT_FIELD
#define OWN_RECORD LAYOUT_RECORD
#define OWN_FIELD LAYOUT_FIELD
#include "kit_layout.h"
