#include "camera/camera_view.h"

#include "camera/camera_fast.h"

namespace kxsim {

void renderCamera(const CameraScene &scene, const CameraMount &mount, const CameraPose &pose, unsigned char *rgb,
                  int width, int height)
{
    using namespace view;
    std::vector<CameraScene::Piece> given;
    if (scene.movingPieces)
        scene.movingPieces(given);
    const std::vector<ReadyPiece> pieces(given.begin(), given.end());
    const Lens lens(mount, pose, width, height);
    for (int row = 0; row < height; ++row) {
        const double v = lens.v(row, height);
        for (int column = 0; column < width; ++column, rgb += 3) {
            const Vec ray = lens.ray(lens.u(column, width), v);
            Hit hit;
            double t;
            int axis;
            hitFloor(scene, lens.origin, ray, hit);
            for (const CameraScene::Wall &wall : scene.walls)
                if (crossWall(wall, lens.origin, ray, t))
                    hit.offer(t, WallColour, 1.0);
            for (const CameraScene::Block &block : scene.blocks)
                if (enterBlock(block, lens.origin, ray, t, axis))
                    hit.offer(t, block.rgb, FaceShade[axis]);
            for (const ReadyPiece &piece : pieces)
                if (piece.enter(lens.origin, ray, t, axis))
                    hit.offer(t, piece.piece.rgb, piece.shade(axis));
            rgb[0] = hit.rgb[0];
            rgb[1] = hit.rgb[1];
            rgb[2] = hit.rgb[2];
        }
    }
}

struct CameraView::Impl : view::FastView
{
    using FastView::FastView;
};

CameraView::CameraView(CameraScene scene, CameraMount mount)
    : m_impl(std::make_unique<Impl>(std::move(scene), mount))
{
}

CameraView::~CameraView() = default;

void CameraView::render(const CameraPose &pose, unsigned char *rgb, int width, int height)
{
    m_impl->given.clear();
    if (m_impl->scene.movingPieces)
        m_impl->scene.movingPieces(m_impl->given);
    m_impl->render(pose, rgb, width, height);
}

void CameraView::render(const CameraPose &pose, const std::vector<CameraScene::Piece> &pieces, unsigned char *rgb,
                        int width, int height)
{
    m_impl->given = pieces;
    m_impl->render(pose, rgb, width, height);
}

const CameraView::Work &CameraView::lastWork() const
{
    return m_impl->work;
}

const CameraScene &CameraView::scene() const
{
    return m_impl->scene;
}

} // namespace kxsim
