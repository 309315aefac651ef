// The order of the steps that put the dump where the shell's ">" would put it, the
// same on every platform.
//
// A regular file is replaced: the dump goes to a new file beside OUT, which takes
// OUT's place once it is complete, flushed and carries everything of OUT. Where
// that cannot be (more than one name, a directory that refuses, anything of OUT
// that cannot be carried over exactly), OUT is written in place, with its room
// reserved first. Devices, FIFOs and consoles are written as they are.

#include "app/output.h"

#include <cerrno>

namespace {

enum class placement { as_is, in_place, replace };
placement plan = placement::replace;

// The dump over OUT's old bytes, then cut to its length: nothing that a signal can
// end comes in between, so OUT holds either its old bytes or the whole dump.
file_error write_in_place(const dump_text& dump)
{
    hold_signals();
    file_error error = write_dump(output_target::output, dump);
    if (!error)
        error = cut_output(dump.length);
    if (!error)
        error = flush(output_target::output);
    release_signals();
    return error;
}

file_error replace_output(const dump_text& dump)
{
    file_error error = write_dump(output_target::new_file, dump);
    if (!error)
        error = flush(output_target::new_file);
    return error ? error : put_in_place();
}

}  // namespace

file_error open_output()
{
    plan = placement::replace;
    if (!output_exists())
        return make_new_file();
    if (file_error error = open_found_output())
        return error;
    if (!output_is_regular()) {
        plan = placement::as_is;
        return 0;
    }
    if (file_error error = lock_output())
        return error;
    if (output_replaceable()) {
        file_error error = make_new_file();
        if (error != WRITE_IN_PLACE)
            return error;
    }
    plan = placement::in_place;
    return reserve_room();
}

file_error commit_output(const dump_text& dump)
{
    if (plan == placement::as_is)
        return write_dump(output_target::output, dump);
    if (dump.length > output_size_limit())
        return EFBIG;
    if (plan == placement::replace) {
        file_error error = carry_over();
        if (!error)
            error = replace_output(dump);
        if (error != WRITE_IN_PLACE)
            return error;
        drop_new_file();
        plan = placement::in_place;
        if ((error = reserve_room()))
            return error;
    }
    return write_in_place(dump);
}

void discard_output() { drop_new_file(); }
