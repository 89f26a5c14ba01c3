// The launcher built without the panel (no libmicrohttpd, or configured
// without it): --panel, --record and --replay are refused before the program
// starts, saying why.
#include "panel/panel_server.h"

namespace kxsim {

struct PanelServer::Impl
{
};

PanelServer::PanelServer(SimStatus &, int, const Run &) {}
PanelServer::~PanelServer() = default;
void PanelServer::describeWorld(const std::string &, Run &) {}

bool PanelServer::bind(const std::string &, int, std::string &error)
{
    error = "this kestrix-sim was built without the panel (" KESTRIX_PANEL_MISSING ")";
    return false;
}

int PanelServer::port() const
{
    return -1;
}

void PanelServer::start() {}

bool PanelServer::save(const std::string &, std::string &error)
{
    error = "this kestrix-sim was built without the panel, which keeps the record (" KESTRIX_PANEL_MISSING ")";
    return false;
}

std::unique_ptr<PanelServer> PanelServer::replay(const std::string &, SimStatus &, int, std::string &error)
{
    error = "this kestrix-sim was built without the panel (" KESTRIX_PANEL_MISSING ")";
    return nullptr;
}
void PanelServer::addRobot(SimStatus &, int, const Run &) {}
void PanelServer::output(const char *, std::size_t) {}
void PanelServer::output(std::size_t, const char *, std::size_t) {}
void PanelServer::left(std::size_t) {}
void PanelServer::finish(int, const std::string &) {}
void PanelServer::stop() {}

} // namespace kxsim
