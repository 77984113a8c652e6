#pragma once

// Boost 1.74's coroutine support needs <utility> before it with GCC 12; every server file
// includes Asio through this header.
// clang-format off
#include <utility>
#include <boost/asio.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
// clang-format on

namespace quillet {
namespace asio = boost::asio;
} // namespace quillet
