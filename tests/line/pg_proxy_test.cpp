// The proxy that plays a failing network, against the server pg_virtualenv started: two clients
// run one prepared UPDATE through it, the second client at the proxy's action (the second match
// of all), and the client, a bystander, a later client and the server each see what they should.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;
const std::string kTable = "pg_proxy_probe_" + std::to_string(getpid());

std::string environment(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return value && *value ? value : fallback;
}

Connection connectTo(const std::string &conninfo)
{
    Connection connection(PQconnectdb(conninfo.c_str()), &PQfinish);
    EXPECT_EQ(PQstatus(connection.get()), CONNECTION_OK) << PQerrorMessage(connection.get());
    return connection;
}

bool run(PGconn *connection, const std::string &sql)
{
    PGresult *result = PQexec(connection, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    PQclear(result);
    return status == PGRES_COMMAND_OK;
}

int counted(PGconn *direct)
{
    PGresult *result = PQexec(direct, ("SELECT n FROM " + kTable).c_str());
    const int n = PQntuples(result) == 1 ? std::atoi(PQgetvalue(result, 0, 0)) : -1;
    PQclear(result);
    return n;
}

// The proxy in front of the server, on the port it printed, killed at the end.
class Proxy
{
public:
    explicit Proxy(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), {PG_PROXY_PATH, "--to",
                                             environment("PGHOST", "/var/run/postgresql") + ":" +
                                                 environment("PGPORT", "5432")});
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        EXPECT_EQ(posix_spawn(&pid_, PG_PROXY_PATH, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        pollfd ready{out[0], POLLIN, 0};
        char line[16] = {};
        if (poll(&ready, 1, 5000) == 1 && read(out[0], line, sizeof line - 1) > 0)
            port_ = std::atoi(line);
        close(out[0]);
        EXPECT_GT(port_, 0) << "the proxy printed no port";
    }
    ~Proxy()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    void signal(int number) const { kill(pid_, number); }
    Connection connect() const
    {
        Connection connection = connectTo("host=127.0.0.1 port=" + std::to_string(port_));
        // It takes a while, so that a cut that closed the client before the server had run it
        // would show in the count the test reads the moment the client failed.
        const std::string bump = "UPDATE " + kTable + " SET n = n + 1 FROM pg_sleep(0.1) AS s";
        PGresult *prepared = PQprepare(connection.get(), "bump", bump.c_str(), 0, nullptr);
        EXPECT_EQ(PQresultStatus(prepared), PGRES_COMMAND_OK) << PQerrorMessage(connection.get());
        PQclear(prepared);
        return connection;
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

enum class Answer { Result, Failure, Nothing };

// Runs the prepared statement without waiting on the network: its result, the connection
// failing, or nothing in a second (where a blocking call would hang).
Answer execute(PGconn *connection)
{
    if (!PQsendQueryPrepared(connection, "bump", 0, nullptr, nullptr, nullptr, 0))
        return Answer::Failure;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (PQisBusy(connection)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{PQsocket(connection), POLLIN, 0};
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) == 0)
            return Answer::Nothing;
        if (!PQconsumeInput(connection))
            return Answer::Failure;
    }
    bool done = false;
    while (PGresult *result = PQgetResult(connection)) {
        done = done || PQresultStatus(result) == PGRES_COMMAND_OK;
        PQclear(result);
    }
    return done ? Answer::Result : Answer::Failure;
}

struct Case {
    const char *name;
    std::vector<std::string> arguments; // after --to
    int signal;                         // sent just before the second statement, or 0
    Answer second;                      // what its client saw
    bool ran;                           // whether the server ran it
    Answer bystander;                   // what the first client sees after it
};

void PrintTo(const Case &c, std::ostream *out)
{
    *out << c.name;
}

class ProxyTest : public ::testing::TestWithParam<Case>
{
protected:
    void SetUp() override
    {
        if (environment("PGHOST", "").empty() && environment("PGPORT", "").empty() &&
            environment("PGDATABASE", "").empty())
            FAIL() << "no PostgreSQL server: run under pg_virtualenv, as scripts/test does "
                      "(PGHOST, PGPORT and PGDATABASE are all unset)";
        direct_ = connectTo("");
        ASSERT_TRUE(run(direct_.get(), "CREATE TABLE " + kTable + " (n int)"));
        ASSERT_TRUE(run(direct_.get(), "INSERT INTO " + kTable + " VALUES (0)"));
    }
    void TearDown() override
    {
        if (direct_)
            run(direct_.get(), "DROP TABLE IF EXISTS " + kTable);
    }

    Connection direct_{nullptr, &PQfinish};
};

TEST_P(ProxyTest, ActsAtTheSecondMatchOnItsConnectionOnly)
{
    const Case &c = GetParam();
    const Proxy proxy(c.arguments);
    const Connection first = proxy.connect();
    const Connection second = proxy.connect();
    ASSERT_EQ(execute(first.get()), Answer::Result);
    if (c.signal)
        proxy.signal(c.signal);
    EXPECT_EQ(execute(second.get()), c.second);
    const int afterSecond = 1 + c.ran;
    EXPECT_EQ(counted(direct_.get()), afterSecond) << "the server ran the statement or did not";
    EXPECT_EQ(execute(first.get()), c.bystander);
    const Connection later = proxy.connect();
    EXPECT_EQ(execute(later.get()), Answer::Result) << "a new connection is relayed as before";
    EXPECT_EQ(counted(direct_.get()), afterSecond + (c.bystander == Answer::Result) + 1);
}

std::vector<std::string> at(const char *action)
{
    return {"--at", "bump", "--nth", "2", "--action", action};
}

INSTANTIATE_TEST_SUITE_P(
    Actions, ProxyTest,
    ::testing::Values(Case{"relay", {}, 0, Answer::Result, true, Answer::Result},
                      Case{"cut", at("cut"), 0, Answer::Failure, true, Answer::Result},
                      Case{"cut_before", at("cut-before"), 0, Answer::Failure, false,
                           Answer::Result},
                      Case{"hold", at("hold"), 0, Answer::Nothing, false, Answer::Result},
                      Case{"silence", at("silence"), 0, Answer::Nothing, true, Answer::Result},
                      Case{"hold_all", {}, SIGUSR1, Answer::Nothing, false, Answer::Nothing},
                      Case{"reset_all", {}, SIGUSR2, Answer::Failure, false, Answer::Failure}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

} // namespace
