#pragma once

#include "common/WebSocketFrameCursor.hpp"

#include <boost/asio/associator.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/core/buffers_suffix.hpp>
#include <boost/beast/websocket/teardown.hpp>

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>

namespace kelvarin::triggerTesting
{

namespace frameBoundaryDetail
{

// The completion of a socket read: the stream keeps what lies past the frame's end, then the
// waiting handler gets the rest. It is the waiting handler as far as Asio can tell: every
// association (executor, allocator, cancellation) is that handler's.
template <class Stream, class Buffers, class Handler> struct ReadCompletion
{
    Stream *stream;
    Buffers buffers;
    Handler handler;

    void operator()(boost::system::error_code ec, std::size_t received)
    {
        auto const handedOn = stream->keepPastFrameEnd(buffers, received);
        std::move(handler)(ec, handedOn);
    }
};

template <class Handler> struct WriteCompletion
{
    bool *writing;
    Handler handler;

    void operator()(boost::system::error_code ec, std::size_t written)
    {
        *writing = false;
        std::move(handler)(ec, written);
    }
};

} // namespace frameBoundaryDetail

// The layer between a WebSocket stream and its socket that lets a connection change hands
// between two programs without losing or repeating a byte.
//
// The WebSocket stream reads ahead into a buffer of its own, which nobody outside can see or
// take. This layer never gives it bytes past the end of the frame it is in, so that once a
// message has been read whole the stream holds nothing further; whatever the socket delivered
// beyond that point waits here, in `pending`, where the owner can take it. The hand-over point of
// a connection is therefore: no message partly read (`atMessageBoundary`) and no write under way
// (`isWriting`).
template <class NextLayer> class FrameBoundaryStream
{
public:
    using next_layer_type = NextLayer;
    using executor_type = typename NextLayer::executor_type;

    template <class... Args>
    explicit FrameBoundaryStream(Args &&...args) : next(std::forward<Args>(args)...)
    {
    }

    executor_type get_executor() noexcept { return next.get_executor(); }
    NextLayer &next_layer() noexcept { return next; }
    NextLayer const &next_layer() const noexcept { return next; }

    // Every byte handed on ends a complete message; bytes may wait here.
    bool deliveredWholeMessages() const { return cursor.atMessageBoundary(); }
    bool isWriting() const { return writing; }
    // Data messages handed on whole, since the start (wrapping): a reader that counts those it
    // has had knows whether one is still inside the WebSocket stream.
    std::uint32_t messagesDelivered() const { return cursor.messagesCompleted(); }
    // Bytes read from the socket that the WebSocket stream has not been given: the beginning of
    // what the peer sent next, handed over with the connection.
    std::string const &pendingBytes() const { return pending; }
    // The handshake of this connection was made by another program: frames come first.
    void skipHandshake() { cursor.skipHandshake(); }
    // Bytes another program read from this connection and did not hand on; they are handed on
    // before anything the socket delivers.
    void preload(std::string bytes) { pending = std::move(bytes) + pending; }
    // While on, what is written without waiting is taken and dropped: the response to a
    // handshake made again for a connection whose peer had its answer from another program.
    void discardWrites(bool on) { discarding = on; }

    template <class MutableBuffers>
    std::size_t read_some(MutableBuffers const &buffers, boost::system::error_code &ec)
    {
        ec = {};
        if (!pending.empty())
            return deliverPending(buffers);
        std::size_t const received = next.read_some(buffers, ec);
        return keepPastFrameEnd(buffers, received);
    }

    template <class MutableBuffers> std::size_t read_some(MutableBuffers const &buffers)
    {
        boost::system::error_code ec;
        auto const n = read_some(buffers, ec);
        if (ec)
            throw boost::system::system_error(ec);
        return n;
    }

    template <class ConstBuffers>
    std::size_t write_some(ConstBuffers const &buffers, boost::system::error_code &ec)
    {
        if (discarding)
        {
            ec = {};
            return boost::asio::buffer_size(buffers);
        }
        return next.write_some(buffers, ec);
    }

    template <class ConstBuffers> std::size_t write_some(ConstBuffers const &buffers)
    {
        boost::system::error_code ec;
        auto const n = write_some(buffers, ec);
        if (ec)
            throw boost::system::system_error(ec);
        return n;
    }

    template <class MutableBuffers, class ReadHandler>
    auto async_read_some(MutableBuffers const &buffers, ReadHandler &&handler)
    {
        return boost::asio::async_initiate<ReadHandler,
                                           void(boost::system::error_code, std::size_t)>(
            [this](auto &&waiting, MutableBuffers const &room)
            { startRead(room, std::forward<decltype(waiting)>(waiting)); },
            handler, buffers);
    }

    template <class ConstBuffers, class WriteHandler>
    auto async_write_some(ConstBuffers const &buffers, WriteHandler &&handler)
    {
        return boost::asio::async_initiate<WriteHandler,
                                           void(boost::system::error_code, std::size_t)>(
            [this](auto &&waiting, ConstBuffers const &data)
            {
                using Waiting = std::decay_t<decltype(waiting)>;
                writing = true;
                next.async_write_some(data,
                                      frameBoundaryDetail::WriteCompletion<Waiting>{
                                          &writing, std::forward<decltype(waiting)>(waiting)});
            },
            handler, buffers);
    }

    friend void teardown(boost::beast::role_type role, FrameBoundaryStream &stream,
                         boost::system::error_code &ec)
    {
        using boost::beast::websocket::teardown;
        teardown(role, stream.next, ec);
    }

    template <class TeardownHandler>
    friend void async_teardown(boost::beast::role_type role, FrameBoundaryStream &stream,
                               TeardownHandler &&handler)
    {
        using boost::beast::websocket::async_teardown;
        async_teardown(role, stream.next, std::forward<TeardownHandler>(handler));
    }

private:
    template <class, class, class> friend struct frameBoundaryDetail::ReadCompletion;

    // Bytes waiting here are handed on through the executor, never inside the call that asked
    // for them; otherwise the socket is read.
    template <class MutableBuffers, class Waiting>
    void startRead(MutableBuffers const &buffers, Waiting &&waiting)
    {
        using Handler = std::decay_t<Waiting>;
        if (!pending.empty())
        {
            auto const handedOn = deliverPending(buffers);
            boost::asio::post(next.get_executor(), boost::beast::bind_front_handler(
                                                       std::forward<Waiting>(waiting),
                                                       boost::system::error_code(), handedOn));
            return;
        }
        next.async_read_some(
            buffers,
            frameBoundaryDetail::ReadCompletion<FrameBoundaryStream, MutableBuffers, Handler>{
                this, buffers, std::forward<Waiting>(waiting)});
    }

    // Of `received` bytes at the front of `buffers`, hands on those up to the end of the frame
    // they are in; the rest wait in `pending`.
    template <class MutableBuffers>
    std::size_t keepPastFrameEnd(MutableBuffers const &buffers, std::size_t received)
    {
        std::size_t handedOn = 0;
        for (auto const buffer : boost::beast::buffers_range_ref(buffers))
        {
            if (handedOn == received)
                break;
            auto const *bytes = static_cast<unsigned char const *>(buffer.data());
            std::size_t const inBuffer = std::min(buffer.size(), received - handedOn);
            std::size_t const accepted = cursor.advance(bytes, inBuffer);
            handedOn += accepted;
            if (accepted < inBuffer)
            {
                keepRest(buffers, handedOn, received);
                break;
            }
        }
        return handedOn;
    }

    template <class MutableBuffers>
    void keepRest(MutableBuffers const &buffers, std::size_t from, std::size_t to)
    {
        boost::beast::buffers_suffix<MutableBuffers> rest(buffers);
        rest.consume(from);
        std::string kept(to - from, '\0');
        boost::asio::buffer_copy(boost::asio::buffer(kept), rest, to - from);
        pending = std::move(kept) + pending;
    }

    template <class MutableBuffers> std::size_t deliverPending(MutableBuffers const &buffers)
    {
        std::size_t const room = boost::asio::buffer_size(buffers);
        std::size_t const allowed =
            cursor.advance(reinterpret_cast<unsigned char const *>(pending.data()),
                           std::min(room, pending.size()));
        boost::asio::buffer_copy(buffers, boost::asio::buffer(pending.data(), allowed));
        pending.erase(0, allowed);
        return allowed;
    }

    NextLayer next;
    WebSocketFrameCursor cursor;
    std::string pending;
    bool writing = false;
    bool discarding = false;
};

} // namespace kelvarin::triggerTesting

namespace boost::asio
{

template <template <typename, typename> class Associator, class Stream, class Buffers,
          class Handler, class DefaultCandidate>
struct associator<
    Associator,
    kelvarin::triggerTesting::frameBoundaryDetail::ReadCompletion<Stream, Buffers, Handler>,
    DefaultCandidate> : Associator<Handler, DefaultCandidate>
{
    using Completion =
        kelvarin::triggerTesting::frameBoundaryDetail::ReadCompletion<Stream, Buffers, Handler>;
    static typename Associator<Handler, DefaultCandidate>::type get(Completion const &completion)
    {
        return Associator<Handler, DefaultCandidate>::get(completion.handler);
    }
    static typename Associator<Handler, DefaultCandidate>::type
    get(Completion const &completion, DefaultCandidate const &candidate)
    {
        return Associator<Handler, DefaultCandidate>::get(completion.handler, candidate);
    }
};

template <template <typename, typename> class Associator, class Handler, class DefaultCandidate>
struct associator<Associator,
                  kelvarin::triggerTesting::frameBoundaryDetail::WriteCompletion<Handler>,
                  DefaultCandidate> : Associator<Handler, DefaultCandidate>
{
    using Completion = kelvarin::triggerTesting::frameBoundaryDetail::WriteCompletion<Handler>;
    static typename Associator<Handler, DefaultCandidate>::type get(Completion const &completion)
    {
        return Associator<Handler, DefaultCandidate>::get(completion.handler);
    }
    static typename Associator<Handler, DefaultCandidate>::type
    get(Completion const &completion, DefaultCandidate const &candidate)
    {
        return Associator<Handler, DefaultCandidate>::get(completion.handler, candidate);
    }
};

} // namespace boost::asio
