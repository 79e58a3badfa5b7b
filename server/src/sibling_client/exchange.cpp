// The whole of one exchange in a call: open, the request's writes, the reply.
#include <utility>

#include "quillfern/sibling_client.hpp"

namespace quillfern::sibling_client {

namespace {

ExchangeFailure failed_at(ExchangeFailure::Step step, Failure failure, std::size_t write = 0) {
    return ExchangeFailure{step, write, std::move(failure)};
}

// The connection once every write went out, else the step that failed.
asio::awaitable<Expected<Connection, ExchangeFailure>> open_and_write(Target target, std::span<const Write> writes,
                                                                      Limits limits) {
    auto opening = Connection::open(std::move(target), limits);
    auto connection = co_await std::move(opening);
    if (!connection) co_return unexpected(failed_at(ExchangeFailure::Step::Open, std::move(connection.error())));
    for (std::size_t i = 0; i < writes.size(); ++i) {
        auto sent = co_await connection->write_all(writes[i].pieces());
        if (!sent) co_return unexpected(failed_at(ExchangeFailure::Step::Write, std::move(sent.error()), i));
    }
    co_return std::move(*connection);
}

}  // namespace

asio::awaitable<ExchangeResult> exchange_line(Target target, std::span<const Write> writes, Limits limits) {
    auto writing = open_and_write(std::move(target), writes, limits);
    auto connection = co_await std::move(writing);
    if (!connection) co_return unexpected(std::move(connection.error()));
    auto line = co_await connection->read_line();
    if (!line) co_return unexpected(failed_at(ExchangeFailure::Step::Read, std::move(line.error())));
    co_return std::move(*line);
}

asio::awaitable<ExchangeResult> exchange_to_end(Target target, std::span<const Write> writes, Limits limits) {
    auto writing = open_and_write(std::move(target), writes, limits);
    auto connection = co_await std::move(writing);
    if (!connection) co_return unexpected(std::move(connection.error()));
    connection->shutdown_send();
    co_return co_await connection->read_until_end();
}

}  // namespace quillfern::sibling_client
