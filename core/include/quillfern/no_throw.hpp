// The completion token of every awaited operation whose failure is handled where it
// happens: the operation gives a tuple of its error code and results instead of throwing.
//
//   auto [ec, n] = co_await stream.async_read_some(buffer, kNoThrow);
#pragma once

#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>

namespace quillfern {

inline constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

}  // namespace quillfern
