#pragma once

#include <QImage>
#include <QWidget>
#include <optional>

// The shared logo image, loaded once on first use from the application's resource "tovren-logo", else from
// the UI module's own copy; absent when neither loads.
class TovrenLogoImage final
{
public:
    static const std::optional<QImage> &shared();
    // The first of `paths` that loads (SVG or raster), rendered at `pixels` square for vector sources.
    static std::optional<QImage> load(const QStringList &paths, int pixels = 512);
};

// The product mark: the logo scaled to fit a square of `size`, or "TV" in heavy tvBlack type of 42 % of the
// size on a white square when there is no logo; either way clipped to corners of 16 % of the size, at least 8.
class TovrenLogoMark final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TovrenLogoMark)

public:
    explicit TovrenLogoMark(int size, QWidget *parent = nullptr);
    TovrenLogoMark(int size, std::optional<QImage> image, QWidget *parent = nullptr);

    static qreal cornerRadius(qreal size);
    int markSize() const { return m_size; }
    bool showsImage() const { return m_image.has_value(); }
    // Pixel size of the "TV" fallback text.
    int fallbackFontSize() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_size;
    std::optional<QImage> m_image;
};
