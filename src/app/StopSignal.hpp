#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

using StopSignalSet = boost::asio::basic_signal_set<boost::asio::io_context::executor_type>;

// Arms one wait on the set; the first signal stops the event loop the set belongs to.
void setStopSignalHandler(StopSignalSet &signals);
