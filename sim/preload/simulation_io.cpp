// What goes into a run and what comes out of it besides the trace: inputs
// from the script and the panel, the buttons as keys of the input device,
// the camera's configuration files, and the status the launcher reads.
#include "preload/simulation.h"

#include "fakes/fake_battery.h"
#include "fakes/fake_input.h"
#include "clock/fake_clock.h"
#include "video/fake_camera_config.h"
#include "video/fake_video.h"
#include "video/simulated_camera.h"
#include "camera/camera_floor.h"
#include "model/scratch_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ftw.h>
#include <string>
#include <vector>

#include <linux/input-event-codes.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

namespace kxsim {

namespace {

constexpr std::int64_t HistoryWaitNs = 200000000; // for the launcher to empty a full ring, at most
constexpr std::int64_t PictureEveryNs = 20000000; // between two pictures for the panel, at least

} // namespace

bool Simulation::startCamera(const World &world, std::string &error)
{
    const CameraDescription &described = *world.robotAt(m_robot).camera;
    SimulatedCamera camera;
    camera.framesPerSecond = described.framesPerSecond;
    camera.mount = {described.x, described.y, described.height, described.yawDeg, described.pitchDeg, described.fieldOfViewDeg};
    // Boxes are plain obstacles: grey, so that no colour channel takes them.
    constexpr double BoxHeight = 0.1, WallHeight = 0.3;
    auto block = [](const Rect &r, double height, std::array<int, 3> rgb) {
        return CameraScene::Block{r.x0, r.y0, r.x1, r.y1, height,
                                  {(unsigned char)rgb[0], (unsigned char)rgb[1], (unsigned char)rgb[2]}};
    };
    for (const ColouredObject &object : world.objects)
        camera.scene.blocks.push_back(block(object.box, object.height, object.rgb));
    for (const Rect &box : world.boxes)
        camera.scene.blocks.push_back(block(box, BoxHeight, {128, 128, 128}));
    for (const Segment &wall : world.walls)
        camera.scene.walls.push_back({wall.a.x, wall.a.y, wall.b.x, wall.b.y, WallHeight});
    // The floor's zones and tape never move: one index of them serves every
    // picture.
    const auto floor = std::make_shared<const FloorShade>(m_physics->world());
    camera.scene.floorReflectance = [floor](double x, double y) { return floor->at(x, y); };
    camera.scene.floorUniform = [floor](double x0, double y0, double x1, double y1) {
        return floor->uniformOver(x0, y0, x1, y1);
    };
    camera.scene.floorEdges = [floor](double x0, double y0, double x1, double y1, std::vector<FloorEdge> &edges) {
        floor->edgesNear(x0, y0, x1, y1, edges);
    };
    // The game pieces where the physics has them when a picture is taken,
    // read under the lock the program's exchanges take, as the pose is.
    camera.scene.movingPieces = [this, &physics = *m_physics](std::vector<CameraScene::Piece> &pieces) {
        const std::vector<Piece> &described = physics.world().pieces;
        std::vector<Table::PieceState> now;
        std::vector<double> lift(described.size()); // how high an arm holds each gripped piece
        std::vector<std::pair<std::size_t, Pose>> robots; // the other robots of a match
        withPhysics([&](Physics &caughtUp) {
            now = caughtUp.pieces();
            const auto lifted = [&](const Physics &robot) {
                if (const Mechanisms *mechanisms = robot.mechanisms())
                    if (const int held = mechanisms->state().heldPiece; held >= 0 && std::size_t(held) < lift.size())
                        lift[std::size_t(held)] = mechanisms->state().armHeight;
            };
            lifted(caughtUp);
            for (std::size_t r = 0; r < m_peers.size(); ++r)
                if (m_peers[r].physics) {
                    robots.emplace_back(r, m_peers[r].physics->pose());
                    lifted(*m_peers[r].physics);
                }
        });
        for (const auto &[r, pose] : robots) {
            CameraScene::Piece seen;
            seen.shape = CameraScene::Piece::Shape::Disc;
            seen.x = pose.x;
            seen.y = pose.y;
            seen.radius = physics.world().robotAt(r).radius;
            seen.height = RobotBodyHeight;
            for (int k = 0; k < 3; ++k)
                seen.rgb[k] = static_cast<unsigned char>(physics.world().robot.colours[r][std::size_t(k)]);
            pieces.push_back(seen);
        }
        for (std::size_t n = 0; n < now.size() && n < described.size(); ++n) {
            const Piece &piece = described[n];
            CameraScene::Piece seen;
            seen.shape = piece.shape == Piece::Shape::Disc ? CameraScene::Piece::Shape::Disc : CameraScene::Piece::Shape::Box;
            seen.x = now[n].x;
            seen.y = now[n].y;
            seen.halfLength = piece.length / 2;
            seen.halfWidth = piece.width / 2;
            seen.headingDeg = now[n].headingDeg;
            seen.radius = piece.radius;
            seen.height = piece.height;
            seen.base = lift[n];
            for (int k = 0; k < 3; ++k)
                seen.rgb[k] = static_cast<unsigned char>(piece.rgb[std::size_t(k)]);
            pieces.push_back(seen);
        }
    };
    camera.scene.fieldWidth = world.width;
    camera.scene.fieldHeight = world.height;
    for (const auto &config : described.configs) {
        std::string &text = camera.configs[config.first];
        for (const std::string &line : config.second)
            text += line + "\n";
    }
    std::string folder = m_options.runFolder + "/camera.XXXXXX";
    if (m_options.runFolder.empty())
        folder = makeScratchFolder("kestrix-sim-camera");
    else if (::mkdtemp(folder.data()) == nullptr)
        folder.clear();
    if (folder.empty()) {
        error = std::string("cannot make a folder for the camera's configuration: ") + std::strerror(errno);
        return false;
    }
    m_cameraFolder = folder;
    // The pose at the moment a picture is taken, read under the lock the
    // program's exchanges take.
    auto pose = [this] {
        CameraPose now;
        withPhysics([&](Physics &physics) {
            now = {physics.pose().x, physics.pose().y, physics.pose().headingDeg};
        });
        return now;
    };
    if (!startSimulatedCamera(camera, pose, m_cameraFolder, error)) {
        removeCameraFolder();
        return false;
    }
    FakeVideo::instance().setTakenHook([this](const unsigned char *yuyv, int width, int height, std::size_t bytesPerLine) {
        recordPicture(yuyv, width, height, bytesPerLine);
    });
    return true;
}

void Simulation::removeCameraFolder()
{
    if (m_cameraFolder.empty() || !inStartingProcess())
        return;
    if (const World *world = m_options.world ? &*m_options.world : nullptr; world && world->robotAt(m_robot).camera)
        for (const auto &config : world->robotAt(m_robot).camera->configs)
            ::unlink((m_cameraFolder + "/" + config.first + ".conf").c_str());
    ::rmdir(m_cameraFolder.c_str());
    m_cameraFolder.clear();
}

int Simulation::keyCode(int id)
{
    static const int Keys[] = {KEY_A, KEY_B, KEY_C, KEY_X, KEY_Y, KEY_Z, KEY_ESC};
    return id >= 0 && id < 7 ? Keys[id] : -1;
}

void Simulation::setButtonText(int id, const char *text)
{
    if (id < 0 || id >= 6)
        return;
    std::lock_guard<std::mutex> hold(m_labelLock);
    std::snprintf(m_buttonText[id], sizeof m_buttonText[id], "%s", text ? text : "");
    m_labelled.store(true, std::memory_order_release);
}

void Simulation::pressKey(int id, bool pressed)
{
    if (id >= 0 && id < 7)
        FakeInput::instance().setKey(keyCode(id), pressed);
}

void Simulation::apply(const ScriptEvent &event, RegisterFile &registers)
{
    Environment &world = m_model.environment();
    switch (event.kind) {
    case ScriptEvent::Kind::Press:
    case ScriptEvent::Kind::Release:
        if (m_buttons)
            m_buttons(event.port, event.kind == ScriptEvent::Kind::Press);
        break;
    case ScriptEvent::Kind::Digital:
        world.digitalLevels[std::size_t(event.port)] =
            event.value ? std::optional<bool>(*event.value != 0) : std::nullopt;
        break;
    case ScriptEvent::Kind::Analog:
        world.analogValues[std::size_t(event.port)] =
            event.value ? std::optional<std::uint16_t>(std::uint16_t(*event.value)) : std::nullopt;
        break;
    case ScriptEvent::Kind::Heading:
        world.headingDegrees = event.value.value_or(0);
        break;
    case ScriptEvent::Kind::Spin:
        m_physics->setSpin(event.value.value_or(0));
        break;
    case ScriptEvent::Kind::Battery:
        FakeBattery::instance().setVolts(event.value.value_or(0));
        break;
    case ScriptEvent::Kind::Charging:
        FakeBattery::instance().setCharging(event.value.value_or(0) != 0);
        break;
    }
    m_model.publish(registers);
}

void Simulation::publishStatus(const RegisterFile &registers, std::int64_t atUs)
{
    SimStatus *status = m_options.status;
    if (status == nullptr)
        return;
    status->simulatedUs.store(atUs - m_startUs);
    status->publish(statusNow(registers));
}

ControllerStatus Simulation::statusNow(const RegisterFile &registers) const
{
    // What is not published this time (the pose before the robot moves)
    // stays as last published.
    ControllerStatus next = *m_options.status;
    next.exchanges = m_exchanges;
    for (int m = 0; m < 4; ++m) {
        next.motorPosition[m] = std::int32_t(registers.get32(reg::Counter0 + 4 * std::size_t(m)));
        next.motorSpeed[m] = m_model.motor(m).speed;
        next.motorDuty[m] = registers.get16(reg::Duty0 + 2 * std::size_t(m));
        next.motorVelocity[m] = std::int16_t(registers.get16(reg::Velocity0 + 2 * std::size_t(m)));
    }
    next.modes = registers.get8(reg::Modes);
    next.directions = registers.get8(reg::Directions);
    next.motorStatus = registers.get8(reg::Status);
    next.servoEnables = registers.get8(reg::ServoEnable);
    for (int s = 0; s < 4; ++s) {
        next.servoCommand[s] = registers.get16(reg::Pulse0 + 2 * std::size_t(s));
        next.servoShaft[s] = m_model.servo(s).shaftUs;
    }
    next.digitalIn = registers.get16(reg::DigitalIn);
    next.digitalOut = registers.get16(reg::DigitalOut);
    next.digitalPullups = registers.get16(reg::DigitalPullup);
    next.digitalDirections = registers.get16(reg::DigitalDir);
    for (int n = 0; n < 6; ++n)
        next.analog[n] = registers.get16(reg::Analog0 + 2 * std::size_t(n));
    next.analogPullups = registers.get8(reg::AnalogPullup);
    for (std::size_t axis = 0; axis < 3; ++axis) {
        next.accel[axis] = std::int16_t(registers.get16(reg::Accel + 2 * axis));
        next.gyro[axis] = std::int16_t(registers.get16(reg::Gyro + 2 * axis));
        next.compass[axis] = std::int16_t(registers.get16(reg::Magneto + 2 * axis));
    }
    next.batteryVolts = FakeBattery::instance().volts();
    static const int Keys[] = {keyCode(0), keyCode(1), keyCode(2), keyCode(3), keyCode(4), keyCode(5), keyCode(6)};
    next.buttonsDown = std::uint8_t(FakeInput::instance().keysDown(Keys, 7));
    // Most programs never label a button: they take no lock for it here.
    if (m_labelled.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> hold(m_labelLock);
        std::memcpy(next.buttonText, m_buttonText, sizeof next.buttonText);
    }
    // One world for every process of the run: whoever moved it last tells.
    if (m_physics && (m_physics->hasWorld() || m_physics->moved())) {
        const Pose &pose = m_physics->pose();
        next.hasPose = 1;
        next.bumped = m_physics->bumped() ? 1 : 0;
        next.x = pose.x;
        next.y = pose.y;
        next.headingDeg = pose.headingDeg;
        next.travelled = m_physics->travelledMetres();
        next.turned = m_physics->turnedDegrees();
        if (const Mechanisms *mechanisms = m_physics->mechanisms()) {
            next.mechanisms = 0;
            for (const Mechanism &m : m_physics->described().mechanisms)
                next.mechanisms |= m.kind == Mechanism::Kind::Claw  ? 1u
                                   : m.kind == Mechanism::Kind::Arm ? 2u
                                                                    : 4u;
            const Mechanisms::State &state = mechanisms->state();
            next.heldPiece = state.heldPiece;
            next.clawGap = float(state.clawGap);
            next.armHeight = float(state.armHeight);
            next.paddleDeg = float(state.paddleDeg);
        }
        next.pieceCount = std::uint32_t(std::min(m_physics->pieceCount(), ControllerStatus::MaxShownPieces));
        for (std::size_t n = 0; n < next.pieceCount; ++n) {
            const Table::PieceState piece = m_physics->piece(n);
            next.pieces[n][0] = float(piece.x);
            next.pieces[n][1] = float(piece.y);
            next.pieces[n][2] = float(piece.headingDeg);
        }
    }
    return next;
}

bool Simulation::recording() const
{
    return m_options.status && m_options.status->record.on.load(std::memory_order_relaxed);
}

// A sample every PeriodUs. A ring the launcher has not emptied holds the
// program up for a moment (real time: the simulated clock does not move),
// so that a run at full speed keeps every sample.
void Simulation::recordHistory(const RegisterFile &registers, std::int64_t atUs)
{
    auto &history = m_options.status->record.history;
    history.nextUs = atUs - m_startUs + history.PeriodUs;
    const std::int64_t giveUp = realNs(CLOCK_MONOTONIC) + HistoryWaitNs;
    while (history.full() && realNs(CLOCK_MONOTONIC) < giveUp)
        ::sched_yield();
    history.put(atUs - m_startUs, statusNow(registers));
}

// The picture the program has just taken, for the panel's camera view, with
// the channel file it loaded last; at most one every few milliseconds of
// real time, which is as often as the panel looks.
void Simulation::recordPicture(const unsigned char *yuyv, int width, int height, std::size_t bytesPerLine)
{
    if (!recording())
        return;
    static std::uint32_t taken = 0;
    static std::int64_t lastNs = 0;
    ++taken;
    const std::int64_t now = realNs(CLOCK_MONOTONIC);
    if (now - lastNs < PictureEveryNs)
        return;
    lastNs = now;
    static std::string configPath, configText;
    const std::string path = FakeCameraConfig::instance().lastOpened();
    if (path != configPath) {
        configPath = path;
        configText.clear();
        if (FILE *file = std::fopen(path.c_str(), "r")) {
            char buffer[4096];
            std::size_t got;
            while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0 && configText.size() < CameraShot::MaxConfig)
                configText.append(buffer, got);
            std::fclose(file);
        }
    }
    m_options.status->record.camera.publish(yuyv, width, height, bytesPerLine, taken,
                                            m_options.status->simulatedUs.load(), configText.data(),
                                            configText.size());
}

} // namespace kxsim
