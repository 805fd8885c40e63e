#include "daemon/line_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/oz_log.h"

namespace ostrel_host {

LineInput::LineInput(const std::string &path, double speed)
    : path(path)
    , speed(speed)
{
}

LineInput::~LineInput()
{
    Close();
}

void LineInput::Close()
{
    if (fd >= 0 && fd != STDIN_FILENO) close(fd);
    fd = -1;
}

bool LineInput::Open()
{
    if (path == "-") {
        fd = STDIN_FILENO;
        name = "stdin";
        return true;
    }
    // A FIFO's writer may come much later: opening must not wait for it,
    // or a signal would stay unread until then. Reads happen only when
    // poll says there is something (or the writer has gone).
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    name = path;
    if (fd < 0) {
        oz_printf("ostrel-host: %s: cannot open flow input: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

Clock::time_point LineInput::WakeAt(Clock::time_point) const
{
    // Whole lines are taken as soon as they are read, up to one held for its
    // time; what is left is an unfinished line that waits for more bytes.
    return have_pending ? pending_due : Clock::time_point::max();
}

void LineInput::Service(Clock::time_point now, bool readable)
{
    if (!readable || fd < 0 || have_pending) return;
    char chunk[65536];
    ssize_t got = read(fd, chunk, sizeof(chunk));
    if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) return;
        oz_printf("ostrel-host: %s: read failed: %s; input closed\n", name.c_str(), strerror(errno));
        got = 0;
    }
    if (got == 0) {
        framer.End();
        Close();
        return;
    }
    if (!started) {
        started = true;
        start = now;
    }
    framer.Append(chunk, static_cast<size_t>(got));
}

bool LineInput::Take(Clock::time_point now, InputFlow &flow)
{
    while (!have_pending) {
        if (!framer.Next(line)) return false;
        if (line.kind == LineFramer::Line::TOO_LONG) {
            lines_skipped++;
            oz_printf("ostrel-host: %s:%llu: line longer than %zu bytes; line skipped\n", name.c_str(),
                static_cast<unsigned long long>(line.number), framer.MaxBytes());
            continue;
        }
        FlowLine parsed = ParseFlowLine(line.text);
        if (parsed.status == FlowLine::SKIP) continue;
        if (parsed.status == FlowLine::ERROR) {
            lines_skipped++;
            oz_printf("ostrel-host: %s:%llu: %s; line skipped\n", name.c_str(),
                static_cast<unsigned long long>(line.number), parsed.error.c_str());
            continue;
        }
        flows_read++;
        pending = std::move(parsed);
        have_pending = true;
        pending_due = start;
        if (pending.time >= 0 && speed > 0) pending_due += Seconds(pending.time / speed);
    }
    if (now < pending_due) return false;
    flow.flow = std::move(pending.flow);
    flow.event = pending.event;
    flow.time = pending.time;
    pending = FlowLine();
    have_pending = false;
    return true;
}

std::string LineInput::Counts() const
{
    return std::to_string(flows_read) + " flows read, " + Skipped();
}

std::string LineInput::Skipped() const
{
    return std::to_string(lines_skipped) + " lines skipped";
}

} // namespace ostrel_host
