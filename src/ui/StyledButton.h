#pragma once

#include <QPushButton>

// The two button looks of the window, chosen per button at run time (the featured plan swaps them).
enum class ButtonStyle {
    secondary,      // 12-point heavy tvInk on a white capsule with a tvLine border; 58 × 36 at least
    primaryCapsule, // 12-point heavy white on a tvBlack capsule; 36 high at least
    plain,          // text only, for links such as the sheet's mode switch
};

class StyledButton final : public QPushButton
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StyledButton)

public:
    explicit StyledButton(const QString &title, ButtonStyle style = ButtonStyle::secondary, QWidget *parent = nullptr);

    ButtonStyle buttonStyle() const { return m_style; }
    void setButtonStyle(ButtonStyle style);

    // Opacity the button is drawn with right now: dimmed while pressed, more so while disabled.
    qreal currentOpacity() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    ButtonStyle m_style;
};
