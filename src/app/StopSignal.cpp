#include "app/StopSignal.hpp"

void setStopSignalHandler(StopSignalSet &signals)
{
    auto executor = signals.get_executor();
    signals.async_wait([executor](boost::system::error_code const &, int)
                       { executor.context().stop(); });
}
