#include "jet/format/format.h"

namespace jet {

namespace {

constexpr Format kJet3{
    .family = FormatFamily::jet3,
    .name = "Access 97 (Jet 3)",
    .page_size = 2048,
    .max_pages = 524288,  // 1 GB
    .header = {.mask_length = 126,
               .password_length = 20,
               .sort_order = 0x3A,
               .sort_version = kAbsent,
               .creation_date = kAbsent,
               .unknown_u16 = 0x56},
    .data_page = {.header_size = 10, .row_count = 8, .stamp = kAbsent},
    .tdef = {.magic = kAbsent,
             .row_count = 12,
             .autonumber = 16,
             .table_type = 20,
             .max_columns = 21,
             .var_columns = 23,
             .column_count = 25,
             .logical_index_count = 27,
             .real_index_count = 31,
             .owned_map = 35,
             .free_map = 39,
             .index_stats = 43,
             .index_stats_size = 8,
             .continuation_header = 8,
             .free_space_at_2 = false,
             .name_length_size = 1},
    .column = {.block_size = 18,
               .number = 1,
               .var_index = 3,
               .unknown_index = 5,
               .misc = 9,
               .misc_ext = 11,
               .flags = 13,
               .ext_flags = kAbsent,
               .fixed_offset = 14,
               .length = 16},
    .real_index =
        {.block_size = 39, .columns = 0, .map = 30, .root = 34, .unknown = kAbsent, .flags = 38},
    .logical_index = {.block_size = 20,
                      .number = 0,
                      .real_index = 4,
                      .rel_table_type = 8,
                      .rel_index = 9,
                      .rel_table_page = 13,
                      .cascade_updates = 17,
                      .cascade_deletes = 18,
                      .type = 19},
    .index_page = {.reserved = kAbsent,
                   .prev = 8,
                   .next = 12,
                   .tail = 16,
                   .prefix = 20,
                   .prefix_size = 1,
                   .level = 21,
                   .mask_offset = 22,
                   .mask_size = 226,
                   .entries_offset = 248},
    .map_row_length = 133,
    .row_count_size = 1,
    .chain_chunk = 2032,
};

constexpr Format kJet4{
    .family = FormatFamily::jet4,
    .name = "Access 2000 or later (Jet 4 / ACE)",
    .page_size = 4096,
    .max_pages = 524288,  // 2 GB
    .header = {.mask_length = 128,
               .password_length = 40,
               .sort_order = 0x6E,
               .sort_version = 0x71,
               .creation_date = 0x72,
               .unknown_u16 = 0x6A},
    .data_page = {.header_size = 14, .row_count = 12, .stamp = 8},
    .tdef = {.magic = 12,
             .row_count = 16,
             .autonumber = 20,
             .table_type = 40,
             .max_columns = 41,
             .var_columns = 43,
             .column_count = 45,
             .logical_index_count = 47,
             .real_index_count = 51,
             .owned_map = 55,
             .free_map = 59,
             .index_stats = 63,
             .index_stats_size = 12,
             .continuation_header = 8,
             .free_space_at_2 = true,
             .name_length_size = 2},
    .column = {.block_size = 25,
               .number = 5,
               .var_index = 7,
               .unknown_index = 9,
               .misc = 11,
               .misc_ext = 13,
               .flags = 15,
               .ext_flags = 16,
               .fixed_offset = 21,
               .length = 23},
    .real_index =
        {.block_size = 52, .columns = 4, .map = 34, .root = 38, .unknown = 42, .flags = 46},
    .logical_index = {.block_size = 28,
                      .number = 4,
                      .real_index = 8,
                      .rel_table_type = 12,
                      .rel_index = 13,
                      .rel_table_page = 17,
                      .cascade_updates = 21,
                      .cascade_deletes = 22,
                      .type = 23},
    .index_page = {.reserved = 8,
                   .prev = 12,
                   .next = 16,
                   .tail = 20,
                   .prefix = 24,
                   .prefix_size = 2,
                   .level = 26,
                   .mask_offset = 27,
                   .mask_size = 453,
                   .entries_offset = 480},
    .map_row_length = 69,
    .row_count_size = 2,
    .chain_chunk = 4072,
};

}  // namespace

const Format& jet3_format() {
    return kJet3;
}

const Format& jet4_format() {
    return kJet4;
}

const Format& format_for_version(std::uint8_t version) {
    return version == 0 ? kJet3 : kJet4;
}

}  // namespace jet
