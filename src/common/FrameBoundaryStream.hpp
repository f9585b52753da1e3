#pragma once

#include "common/WebSocketFrameCursor.hpp"

#include <boost/asio/associator.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/buffers_cat.hpp>
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/core/buffers_suffix.hpp>
#include <boost/beast/websocket/teardown.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kelvarin::triggerTesting
{

// What a connection's bytes are between a WebSocket stream and its socket: where the frames handed
// on so far end, the bytes read past a frame's end that the stream has not been given, whether a
// write is under way, and the bytes of writes gathered to go out with the next one. It belongs to
// the connection: a stream that is lent to the connection only while it reads or writes a message
// leaves it behind.
struct FrameBoundary
{
    WebSocketFrameCursor cursor;
    std::string pending;
    // Written while gathering: they go out in one piece with the next write that does not
    // gather. The stream's writes follow one another, so none is gathered while one is under way.
    std::string gathered;
    bool writing = false;
    bool discarding = false;
    bool gathering = false;
    // Reads go to the stream as the socket delivers them, untracked: for a connection that is
    // never handed over and only gathers its writes.
    bool passingReads = false;

    // Every byte handed on ends a complete message; bytes may wait here.
    bool deliveredWholeMessages() const { return cursor.atMessageBoundary(); }
    // Data messages handed on whole, since the start (wrapping): a reader that counts those it
    // has had knows whether one is still inside the WebSocket stream.
    std::uint32_t messagesDelivered() const { return cursor.messagesCompleted(); }
    // Bytes that continue the connection before anything the socket delivers.
    void preload(std::string_view bytes) { pending.insert(0, bytes); }

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

private:
    template <class MutableBuffers>
    void keepRest(MutableBuffers const &buffers, std::size_t from, std::size_t to)
    {
        boost::beast::buffers_suffix<MutableBuffers> rest(buffers);
        rest.consume(from);
        std::string kept(to - from, '\0');
        boost::asio::buffer_copy(boost::asio::buffer(kept), rest, to - from);
        pending.insert(0, kept);
    }
};

namespace frameBoundaryDetail
{

// The completion of a socket read: the connection keeps what lies past the frame's end, then the
// waiting handler gets the rest. It is the waiting handler as far as Asio can tell: every
// association (executor, allocator, cancellation) is that handler's.
template <class Buffers, class Handler> struct ReadCompletion
{
    FrameBoundary *boundary;
    Buffers buffers;
    Handler handler;

    void operator()(boost::system::error_code ec, std::size_t received)
    {
        auto const handedOn = boundary->keepPastFrameEnd(buffers, received);
        std::move(handler)(ec, handedOn);
    }
};

// The completion of a socket write, which may have begun with gathered bytes: the waiting
// handler is told only of its own bytes written. A socket that took gathered bytes alone is
// written again: told of none written and no error, a composed write (Asio's, under every
// WebSocket frame) would end as if done, and the frame would never go out.
template <class NextLayer, class ConstBuffers, class Handler> struct WriteCompletion
{
    NextLayer *layer;
    FrameBoundary *boundary;
    ConstBuffers buffers;
    Handler handler;

    void operator()(boost::system::error_code ec, std::size_t written)
    {
        auto const gatheredPart = std::min(written, boundary->gathered.size());
        boundary->gathered.erase(0, gatheredPart);
        if (!ec && gatheredPart != 0 && written == gatheredPart &&
            boost::asio::buffer_size(buffers) != 0)
        {
            writeAgain();
            return;
        }
        boundary->writing = false;
        std::move(handler)(ec, written - gatheredPart);
    }

    // The gathered bytes go first, then the waiting handler's.
    void writeAgain()
    {
        auto *const next = layer;
        auto const &gathered = boundary->gathered;
        auto const own = buffers;
        if (gathered.empty())
            next->async_write_some(own, std::move(*this));
        else
            next->async_write_some(boost::beast::buffers_cat(boost::asio::buffer(gathered), own),
                                   std::move(*this));
    }
};

// The layer owns its socket and the connection's frame boundary.
template <class NextLayer> class OwnedPlace
{
public:
    template <class... Args> explicit OwnedPlace(Args &&...args) : next(std::forward<Args>(args)...)
    {
    }

    NextLayer &layer() noexcept { return next; }
    NextLayer const &layer() const noexcept { return next; }
    FrameBoundary &boundary() noexcept { return state; }
    FrameBoundary const &boundary() const noexcept { return state; }

private:
    NextLayer next;
    FrameBoundary state;
};

// The layer is lent to a connection whose socket and frame boundary stay the connection's.
template <class NextLayer> class LentPlace
{
public:
    using Executor = typename NextLayer::executor_type;

    explicit LentPlace(Executor const &executor) : executor(executor) {}

    void lend(NextLayer &socket, FrameBoundary &state) noexcept
    {
        next = &socket;
        frames = &state;
    }
    void giveBack() noexcept
    {
        next = nullptr;
        frames = nullptr;
    }

    NextLayer &layer() noexcept { return *next; }
    NextLayer const &layer() const noexcept { return *next; }
    FrameBoundary &boundary() noexcept { return *frames; }
    FrameBoundary const &boundary() const noexcept { return *frames; }
    Executor get_executor() const noexcept { return executor; }

private:
    Executor executor;
    NextLayer *next = nullptr;
    FrameBoundary *frames = nullptr;
};

} // namespace frameBoundaryDetail

// The layer between a WebSocket stream and its socket that lets a connection change hands
// between two programs without losing or repeating a byte, and a connection keep no WebSocket
// stream between its messages.
//
// The WebSocket stream reads ahead into a buffer of its own, which nobody outside can see or
// take. This layer never gives it bytes past the end of the frame it is in, so that once a
// message has been read whole the stream holds nothing further; whatever the socket delivered
// beyond that point waits in the connection's FrameBoundary, where the owner can take it. The
// hand-over point of a connection is therefore: no message partly read
// (`deliveredWholeMessages`) and no write under way (`isWriting`). At that point the stream
// holds nothing of the connection, and may serve another one (`LentPlace`).
template <class NextLayer, class Place = frameBoundaryDetail::OwnedPlace<NextLayer>>
class FrameBoundaryStream : public Place
{
public:
    using next_layer_type = NextLayer;
    using executor_type = typename NextLayer::executor_type;

    template <class... Args>
    explicit FrameBoundaryStream(Args &&...args) : Place(std::forward<Args>(args)...)
    {
    }

    executor_type get_executor() noexcept
    {
        if constexpr (std::is_same_v<Place, frameBoundaryDetail::OwnedPlace<NextLayer>>)
            return this->layer().get_executor();
        else
            return Place::get_executor();
    }
    NextLayer &next_layer() noexcept { return this->layer(); }
    NextLayer const &next_layer() const noexcept { return this->layer(); }

    bool deliveredWholeMessages() const { return this->boundary().deliveredWholeMessages(); }
    // A write under way, or bytes gathered for the next one.
    bool isWriting() const
    {
        return this->boundary().writing || !this->boundary().gathered.empty();
    }
    // While on, what is written is kept and taken at once, to go out with the first write after:
    // a session with several messages to write hands them to the socket in one system call.
    void gatherWrites(bool on) { this->boundary().gathering = on; }
    void passReadsThrough() { this->boundary().passingReads = true; }
    std::uint32_t messagesDelivered() const { return this->boundary().messagesDelivered(); }
    // Bytes read from the socket that the WebSocket stream has not been given: the beginning of
    // what the peer sent next, handed over with the connection.
    std::string const &pendingBytes() const { return this->boundary().pending; }
    // The handshake of this connection was made by another program: frames come first.
    void skipHandshake() { this->boundary().cursor.skipHandshake(); }
    // Bytes another program read from this connection and did not hand on; they are handed on
    // before anything the socket delivers.
    void preload(std::string const &bytes) { this->boundary().preload(bytes); }
    // While on, what is written without waiting is taken and dropped: the response to a
    // handshake made again for a connection whose peer had its answer from another program.
    void discardWrites(bool on) { this->boundary().discarding = on; }

    template <class MutableBuffers>
    std::size_t read_some(MutableBuffers const &buffers, boost::system::error_code &ec)
    {
        ec = {};
        auto &frames = this->boundary();
        if (frames.passingReads)
            return this->layer().read_some(buffers, ec);
        if (!frames.pending.empty())
            return frames.deliverPending(buffers);
        std::size_t const received = this->layer().read_some(buffers, ec);
        return frames.keepPastFrameEnd(buffers, received);
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
        if (this->boundary().discarding)
        {
            ec = {};
            return boost::asio::buffer_size(buffers);
        }
        return this->layer().write_some(buffers, ec);
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
            [self = this](auto &&waiting, MutableBuffers const &room)
            { self->startRead(room, std::forward<decltype(waiting)>(waiting)); },
            handler, buffers);
    }

    template <class ConstBuffers, class WriteHandler>
    auto async_write_some(ConstBuffers const &buffers, WriteHandler &&handler)
    {
        return boost::asio::async_initiate<WriteHandler,
                                           void(boost::system::error_code, std::size_t)>(
            [self = this](auto &&waiting, ConstBuffers const &data)
            { self->startWrite(data, std::forward<decltype(waiting)>(waiting)); },
            handler, buffers);
    }

    friend void teardown(boost::beast::role_type role, FrameBoundaryStream &stream,
                         boost::system::error_code &ec)
    {
        using boost::beast::websocket::teardown;
        teardown(role, stream.layer(), ec);
    }

    template <class TeardownHandler>
    friend void async_teardown(boost::beast::role_type role, FrameBoundaryStream &stream,
                               TeardownHandler &&handler)
    {
        using boost::beast::websocket::async_teardown;
        async_teardown(role, stream.layer(), std::forward<TeardownHandler>(handler));
    }

private:
    template <class ConstBuffers, class Waiting>
    void startWrite(ConstBuffers const &buffers, Waiting &&waiting)
    {
        using Handler = std::decay_t<Waiting>;
        auto &frames = this->boundary();
        if (frames.gathering)
        {
            auto const size = boost::asio::buffer_size(buffers);
            auto const at = frames.gathered.size();
            frames.gathered.resize(at + size);
            boost::asio::buffer_copy(boost::asio::buffer(frames.gathered.data() + at, size),
                                     buffers);
            boost::asio::post(get_executor(),
                              boost::beast::bind_front_handler(std::forward<Waiting>(waiting),
                                                               boost::system::error_code(), size));
            return;
        }
        frames.writing = true;
        frameBoundaryDetail::WriteCompletion<NextLayer, ConstBuffers, Handler> completion{
            &this->layer(), &frames, buffers, std::forward<Waiting>(waiting)};
        completion.writeAgain();
    }

    // Bytes waiting in the connection are handed on through the executor, never inside the call
    // that asked for them; otherwise the socket is read.
    template <class MutableBuffers, class Waiting>
    void startRead(MutableBuffers const &buffers, Waiting &&waiting)
    {
        using Handler = std::decay_t<Waiting>;
        auto &frames = this->boundary();
        if (frames.passingReads)
        {
            this->layer().async_read_some(buffers, std::forward<Waiting>(waiting));
            return;
        }
        if (!frames.pending.empty())
        {
            auto const handedOn = frames.deliverPending(buffers);
            boost::asio::post(get_executor(), boost::beast::bind_front_handler(
                                                  std::forward<Waiting>(waiting),
                                                  boost::system::error_code(), handedOn));
            return;
        }
        this->layer().async_read_some(buffers,
                                      frameBoundaryDetail::ReadCompletion<MutableBuffers, Handler>{
                                          &frames, buffers, std::forward<Waiting>(waiting)});
    }
};

// The layer of a stream that is lent to one connection at a time.
template <class NextLayer>
using LentFrameBoundaryStream =
    FrameBoundaryStream<NextLayer, frameBoundaryDetail::LentPlace<NextLayer>>;

} // namespace kelvarin::triggerTesting

namespace boost::asio
{

template <template <typename, typename> class Associator, class Buffers, class Handler,
          class DefaultCandidate>
struct associator<Associator,
                  kelvarin::triggerTesting::frameBoundaryDetail::ReadCompletion<Buffers, Handler>,
                  DefaultCandidate> : Associator<Handler, DefaultCandidate>
{
    using Completion =
        kelvarin::triggerTesting::frameBoundaryDetail::ReadCompletion<Buffers, Handler>;
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

template <template <typename, typename> class Associator, class NextLayer, class Buffers,
          class Handler, class DefaultCandidate>
struct associator<
    Associator,
    kelvarin::triggerTesting::frameBoundaryDetail::WriteCompletion<NextLayer, Buffers, Handler>,
    DefaultCandidate> : Associator<Handler, DefaultCandidate>
{
    using Completion =
        kelvarin::triggerTesting::frameBoundaryDetail::WriteCompletion<NextLayer, Buffers, Handler>;
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
