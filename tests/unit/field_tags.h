// The field numbers a generated message has, for the hand-written codecs' tests to notice a
// field added to the schema.
#pragma once

#include <pb_common.h>

#include <set>

template <class Message>
std::set<uint32_t> fieldTags(const pb_msgdesc_t* fields) {
    Message message{};
    pb_field_iter_t iter;
    std::set<uint32_t> tags;
    if (!pb_field_iter_begin(&iter, fields, &message)) return tags;
    do {
        tags.insert(iter.tag);
    } while (pb_field_iter_next(&iter));
    return tags;
}
