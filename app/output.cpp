// The order of the steps that put the dump where the shell's ">" would put it, the
// same on every platform.
//
// OUT is written in place, as the shell writes it, so it stays the same file with
// all that it is: its links, owner, mode, ACL, attributes and locks. Nothing of it
// changes before the dump is complete; then, with signals held, the dump goes over
// its first bytes in one write, OUT is cut to the dump's length and flushed. Where
// a step fails, the old bytes and length are put back. Devices, FIFOs and consoles
// are written as they are.

#include "app/output.h"

#include <algorithm>
#include <cerrno>

namespace {

// What OUT held before the write: every byte that the write or the cut can change,
// up to a size far past any dump.
char old_bytes[1 << 20];
std::size_t old_saved = 0;
std::intmax_t old_length = 0;

file_error save_old_bytes()
{
    old_length = output_length();
    std::size_t size = static_cast<std::size_t>(std::min<std::intmax_t>(old_length, sizeof old_bytes));
    return read_output_start(old_bytes, size, old_saved);
}

void put_old_bytes_back()
{
    if (write_output(old_bytes, old_saved) == 0 && cut_output(static_cast<std::uintmax_t>(old_length)) == 0)
        flush_output();
}

file_error write_in_place(const dump_text& dump)
{
    if (!output_still_named())
        return OUTPUT_IN_USE;
    if (file_error error = save_old_bytes())
        return error;
    file_error error = write_output(dump.bytes, dump.length);
    if (!error && static_cast<std::intmax_t>(dump.length) != old_length)
        error = cut_output(dump.length);  // a cut to the same length would only free the reserved room
    if (!error)
        error = flush_output();
    if (!error && !output_still_named())
        error = OUTPUT_IN_USE;  // moved away meanwhile: the dump belongs to the name
    if (error)
        put_old_bytes_back();
    return error;
}

}  // namespace

file_error open_output()
{
    if (file_error error = open_found_output())
        return error;
    if (!output_is_regular())
        return 0;
    if (file_error error = lock_output())
        return error;
    return reserve_room();
}

file_error commit_output(const dump_text& dump)
{
    if (!output_is_regular())
        return write_output(dump.bytes, dump.length);
    if (dump.length > output_size_limit())
        return EFBIG;
    hold_signals();
    file_error error = write_in_place(dump);
    if (!error)
        keep_made_output();
    release_signals();
    return error;
}

void discard_output() { drop_made_output(); }
