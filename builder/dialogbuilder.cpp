#include "builder/dialogbuilder.h"

#include "platform/basedialog.h"
#include "platform/checkbox.h"
#include "platform/imagewidget.h"
#include "platform/simpletextwidget.h"
#include "platform/singleton.h"
#include "platform/standardtable.h"
#include "platform/uiresource.h"

#include <QDomDocument>
#include <QDomElement>
#include <QPalette>

namespace Lumo {

namespace {

// Element names of the button family; an element whose name occurs anywhere in this text
// belongs to it.
const QString s_buttonTypes = QStringLiteral("btn|chk|radio|progress|");

int intAttribute(const QDomElement& element, const QString& name)
{
    return element.attribute(name).toInt(nullptr, 10); // missing or unparsable: 0
}

void applyGeometry(QWidget* widget, const QDomElement& element)
{
    widget->setGeometry(intAttribute(element, QStringLiteral("x")), intAttribute(element, QStringLiteral("y")),
                        intAttribute(element, QStringLiteral("w")), intAttribute(element, QStringLiteral("h")));
}

} // namespace

CDialogBuilder::CDialogBuilder(CBaseDialog* dialog) : m_dialog(dialog) {}

CDialogBuilder::~CDialogBuilder() = default;

CBaseWidget* CDialogBuilder::createFromXml(const QString& xml)
{
    QDomDocument document(QStringLiteral("DialogBuilder"));
    if (!document.setContent(xml, false))
        return nullptr;
    const QDomElement root = document.documentElement();
    if (root.isNull() || root.tagName() != QLatin1String("DialogBuilderWidget"))
        return nullptr;
    if (!m_dialog)
        return nullptr;

    auto* container = new CBaseWidget(QStringLiteral("DialogBuilderWidget"), false, m_dialog);
    container->setMouseEventRule(MouseEventDefault);
    if (root.hasAttribute(QStringLiteral("h")))
        container->setFixedHeight(intAttribute(root, QStringLiteral("h")));
    if (root.hasAttribute(QStringLiteral("w")))
        container->setFixedWidth(intAttribute(root, QStringLiteral("w")));

    container->setAutoFillBackground(true);
    QPalette palette;
    QColor background(255, 255, 255, 255);
    if (root.hasAttribute(QStringLiteral("bg_color")))
        background = *utils::CSingletonT<CUiResource>::instance()->getColor(root.attribute(QStringLiteral("bg_color")));
    palette.setBrush(QPalette::All, QPalette::Window, QBrush(background, Qt::SolidPattern));
    container->setPalette(palette);
    container->setFocusPolicy(Qt::StrongFocus);

    createChildren(root, container);
    return container;
}

CBaseWidget* CDialogBuilder::getWidget(int id) const
{
    return m_widgets.value(id, nullptr);
}

CCheckBox* CDialogBuilder::getCheckBox(int id) const
{
    return m_checkBoxes.value(id, nullptr);
}

void CDialogBuilder::createChildren(const QDomElement& element, QWidget* parent)
{
    for (QDomElement child = element.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
        if (s_buttonTypes.indexOf(child.tagName(), 0, Qt::CaseSensitive) != -1) {
            createButtonWidget(child, parent); // its own children are not visited
            continue;
        }
        CBaseWidget* made = createWidget(child, parent);
        // Children of an element that made nothing would have no parent and become stray
        // top-level windows; they are skipped.
        if (made && child.hasChildNodes())
            createChildren(child, made);
    }
}

void CDialogBuilder::createButtonWidget(const QDomElement& element, QWidget* parent)
{
    if (element.isNull())
        return;
    CCheckBox* made = nullptr;
    if (element.tagName() == QLatin1String("chk")) {
        made = new CCheckBox(intAttribute(element, QStringLiteral("id")), element.attribute(QStringLiteral("txt")), parent);
        applyGeometry(made, element);
    }
    m_checkBoxes.insert(intAttribute(element, QStringLiteral("id")), made);
}

CBaseWidget* CDialogBuilder::createWidget(const QDomElement& element, QWidget* parent)
{
    if (element.isNull())
        return nullptr;
    CBaseWidget* made = nullptr;
    const QString tag = element.tagName();
    if (tag == QLatin1String("table")) {
        made = new CStandardTable(intAttribute(element, QStringLiteral("id")), parent, QFlags<EBaseTableMenuFlag>(0x1FF));
        applyGeometry(made, element);
    } else if (tag == QLatin1String("img")) {
        made = new CImageWidget(0, element.attribute(QStringLiteral("src")), parent);
        applyGeometry(made, element);
    } else if (tag == QLatin1String("txt")) {
        auto* text = new CSimpleTextWidget(element.attribute(QStringLiteral("text")), parent);
        if (element.hasAttribute(QStringLiteral("text_color")))
            text->setColorKey(element.attribute(QStringLiteral("text_color")));
        if (element.hasAttribute(QStringLiteral("font")))
            text->setFontKey(element.attribute(QStringLiteral("font")));
        if (element.hasAttribute(QStringLiteral("HAlign"))) {
            switch (intAttribute(element, QStringLiteral("HAlign"))) {
            case 0: text->setFlag(Qt::AlignLeft); break;
            case 1: text->setFlag(Qt::AlignHCenter); break;
            case 2: text->setFlag(Qt::AlignRight); break;
            default: break;
            }
        }
        applyGeometry(text, element);
        made = text;
    }
    m_widgets.insert(intAttribute(element, QStringLiteral("id")), made);
    return made;
}

} // namespace Lumo
