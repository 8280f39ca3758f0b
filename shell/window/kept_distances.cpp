#include "kept_distances.h"

#include <algorithm>

#include <QLabel>
#include <QString>
#include <QVariant>
#include <QWidget>

namespace lmk {
namespace {

// One axis: an edge anchored at the far side follows it; anchored at both sides the control
// stretches; otherwise it stays where it was.
void Place(bool nearSide, bool farSide, int grown, int& start, int& length) {
    if (nearSide && farSide) {
        length = std::max(0, length + grown);
    } else if (farSide) {
        start += grown;
    }
}

}  // namespace

Qt::Edges ParseAnchors(const QString& text) {
    Qt::Edges edges;
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString edge = part.trimmed();
        if (edge == QLatin1String("left")) edges |= Qt::LeftEdge;
        if (edge == QLatin1String("top")) edges |= Qt::TopEdge;
        if (edge == QLatin1String("right")) edges |= Qt::RightEdge;
        if (edge == QLatin1String("bottom")) edges |= Qt::BottomEdge;
    }
    return edges;
}

void FitLabelsToText(QWidget* parent) {
    for (QLabel* label : parent->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        label->resize(label->size().expandedTo(label->sizeHint()));
    }
}

void KeptDistances::Record(QWidget* parent) {
    m_entries.clear();
    m_designedSize = parent->size();
    for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QVariant anchors = child->property("anchors");
        const Qt::Edges edges = anchors.isValid() ? ParseAnchors(anchors.toString())
                                                  : Qt::Edges(Qt::LeftEdge | Qt::TopEdge);
        m_entries.push_back({child, edges, child->geometry()});
    }
}

void KeptDistances::Apply(const QSize& clientSize) const {
    const int grownWidth = clientSize.width() - m_designedSize.width();
    const int grownHeight = clientSize.height() - m_designedSize.height();
    for (const Entry& entry : m_entries) {
        if (!entry.widget) continue;
        int left = entry.designed.left();
        int top = entry.designed.top();
        int width = entry.designed.width();
        int height = entry.designed.height();
        Place(entry.edges & Qt::LeftEdge, entry.edges & Qt::RightEdge, grownWidth, left, width);
        Place(entry.edges & Qt::TopEdge, entry.edges & Qt::BottomEdge, grownHeight, top, height);
        entry.widget->setGeometry(left, top, width, height);
    }
}

}  // namespace lmk
