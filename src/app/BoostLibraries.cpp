// Asio and Beast are header-only by default; compiling their implementation once, here, keeps
// every other translation unit of the project light.
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
