#include "debugger/pipe_stock.h"

#include <fcntl.h>
#include <utility>

void PipeStock::fill()
{
    for (Pipe &pipe : plain_) {
        if (!pipe.read)
            pipe = Pipe::make();
    }
    if (!command_.read)
        command_ = makeCommand();
}

Pipe PipeStock::take()
{
    for (Pipe &pipe : plain_) {
        if (pipe.read)
            return std::exchange(pipe, Pipe{});
    }
    return Pipe::make();
}

Pipe PipeStock::takeCommand()
{
    if (command_.read)
        return std::exchange(command_, Pipe{});
    return makeCommand();
}

Pipe PipeStock::makeCommand()
{
    Pipe pipe = Pipe::make();
    if (pipe.write && fcntl(pipe.write.get(), F_SETFL, O_NONBLOCK) != 0)
        return {};
    return pipe;
}
