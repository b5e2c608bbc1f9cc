#include "ui/disk_picture.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace tervalo::ui {

DiskPicture::DiskPicture(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent, false); }

void DiskPicture::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF box = QRectF(rect()).adjusted(2, 2, -2, -2);

  // Case: a brushed-metal body with rounded corners.
  QLinearGradient body(box.topLeft(), box.bottomRight());
  body.setColorAt(0, QColor(0xe8, 0xea, 0xee));
  body.setColorAt(1, QColor(0x9a, 0xa0, 0xaa));
  p.setPen(QPen(QColor(0x55, 0x5b, 0x66), 1.2));
  p.setBrush(body);
  p.drawRoundedRect(box, 6, 6);

  // Platter and spindle.
  const qreal d = std::min(box.height() * 0.82, box.width() * 0.62);
  const QPointF centre(box.left() + box.width() * 0.42, box.center().y());
  QRadialGradient platter(centre, d / 2);
  platter.setColorAt(0, QColor(0xf4, 0xf6, 0xfa));
  platter.setColorAt(0.7, QColor(0xb8, 0xc0, 0xcc));
  platter.setColorAt(1, QColor(0x70, 0x78, 0x86));
  p.setBrush(platter);
  p.setPen(QPen(QColor(0x4a, 0x50, 0x5a), 1));
  p.drawEllipse(centre, d / 2, d / 2);
  p.setBrush(QColor(0x50, 0x56, 0x60));
  p.drawEllipse(centre, d / 9, d / 9);

  // Head arm from the lower right corner across the platter.
  const QPointF pivot(box.right() - box.width() * 0.12, box.bottom() - box.height() * 0.18);
  QPainterPath arm;
  arm.moveTo(pivot);
  arm.lineTo(centre + QPointF(d * 0.18, -d * 0.22));
  p.setPen(QPen(QColor(0x30, 0x34, 0x3a), 3, Qt::SolidLine, Qt::RoundCap));
  p.drawPath(arm);
  p.setBrush(QColor(0x30, 0x34, 0x3a));
  p.drawEllipse(pivot, 4, 4);

  // Activity light.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x2e, 0xb8, 0x4a));
  p.drawEllipse(QPointF(box.right() - 8, box.top() + 8), 2.5, 2.5);
}

}  // namespace tervalo::ui
