#pragma once

#include "api/APISession.hpp"
#include "api/APISessionFactory.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <map>
#include <memory>
#include <vector>

namespace kelvarin::triggerTesting
{

// One request session per resolved endpoint, ordered by address, then port.
using APISessionMap = std::map<boost::asio::ip::tcp::endpoint, std::shared_ptr<APISession>>;

// The request sessions of the pool, with the factory that makes new ones.
class APISessionContainer
{
public:
    explicit APISessionContainer(APISessionFactory factory) : factory(std::move(factory)) {}

    // A reload: every session holds, the container tells when all of them can be handed over,
    // and hands them over, ending the connections that cannot be.
    void hold();
    void resume();
    bool readyForHandOver() const;
    std::vector<APISessionHandOver> handOver();
    // The sessions a previous program handed over, before the resolver's first answer, which
    // stops those whose endpoint is no longer resolved as usual. A record whose endpoint is not
    // one, or is taken already, is left out and its connection closed.
    void adopt(std::vector<APISessionHandOver> const &records);

    APISessionMap sessions;
    APISessionFactory factory;
};

// Brings the pool in line with one successful resolution: sessions whose endpoint is gone are
// stopped and dropped, new endpoints get a started session.
void updateSessions(APISessionContainer &container,
                    boost::asio::ip::tcp::resolver::results_type const &results);

// Adds and starts a session for every resolved endpoint the map lacks. An endpoint whose
// socket cannot be opened is left out; the next resolution tries it again.
void addNewClients(APISessionMap &sessions,
                   boost::asio::ip::tcp::resolver::results_type const &results,
                   APISessionFactory const &factory);

} // namespace kelvarin::triggerTesting
