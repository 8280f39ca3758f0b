#pragma once

#include <vector>

#include <QPointer>
#include <QRect>
#include <QSize>

class QWidget;

namespace lmk {

// Qt has no anchors: this keeps each child's distances to the edges of its parent that the
// child's "anchors" property names ("left,top,right,bottom"; left and top when it has none),
// as they stand when Record is called.
class KeptDistances {
public:
    void Record(QWidget* parent);
    // Re-applies the kept distances for the parent's new client size.
    void Apply(const QSize& clientSize) const;

private:
    struct Entry {
        QPointer<QWidget> widget;
        Qt::Edges edges;
        QRect designed;
    };
    std::vector<Entry> m_entries;
    QSize m_designedSize;
};

// The edges named by an "anchors" text.
Qt::Edges ParseAnchors(const QString& text);

// The parent's labels size themselves to their text, as the definition's labels do: each keeps
// its designed size where its text fits and grows right and down where a wider font stands in
// for the designed one (the window's Tahoma missing). Other controls stay where they are.
void FitLabelsToText(QWidget* parent);

}  // namespace lmk
