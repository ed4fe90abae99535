#include "platform/basedialog.h"
#include "platform/basewidget.h"
#include "platform/checkbox.h"
#include "builder/dialogbuilder.h"
#include "platform/imagewidget.h"
#include "platform/simpletextwidget.h"
#include "platform/standardtable.h"
#include "platform/uiresource.h"

#include <QApplication>
#include <QCheckBox>
#include <QtTest>

#include <memory>

using namespace Lumo;

namespace {

QString layout(const QString& children, const QString& rootAttributes = QString())
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?><DialogBuilderWidget") + rootAttributes +
           QStringLiteral(">") + children + QStringLiteral("</DialogBuilderWidget>");
}

} // namespace

class tst_DialogBuilder : public QObject {
    Q_OBJECT
private slots:
    void emptyRoot();
    void refusedDocuments_data();
    void refusedDocuments();
    void rootSizeAndColor();
    void widgetKinds();
    void idTables();
    void buttonFamily_data();
    void buttonFamily();
    void hAlign_data();
    void hAlign();
    void geometry();
    void nesting();
    void noStrayTopLevelWidgets();
};

void tst_DialogBuilder::emptyRoot()
{
    CBaseDialog dialog(QStringLiteral("d"), QString(), nullptr, Qt::WindowFlags());
    dialog.setFixedSize(418, 310);
    CDialogBuilder builder(&dialog);
    CBaseWidget* container = builder.createFromXml(layout(QString()));
    QVERIFY(container);
    QCOMPARE(container->parentWidget(), &dialog);
    QCOMPARE(container->palette().color(QPalette::Active, QPalette::Window), QColor(255, 255, 255, 255));
    QCOMPARE(container->palette().color(QPalette::Disabled, QPalette::Window), QColor(255, 255, 255, 255));
    QVERIFY(container->autoFillBackground());
    QCOMPARE(container->focusPolicy(), Qt::StrongFocus);
    QVERIFY(container->findChildren<QWidget*>().isEmpty());
    QCOMPARE(container->minimumSize(), QSize(0, 0)); // no fixed size
    // It covers the dialog, although nobody sized it.
    QCOMPARE(container->geometry(), QRect(0, 0, 418, 310));
    QVERIFY(!builder.getWidget(0));
}

void tst_DialogBuilder::refusedDocuments_data()
{
    QTest::addColumn<QString>("xml");
    QTest::newRow("malformed") << QStringLiteral("<DialogBuilderWidget><txt id=\"1\"></DialogBuilderWidget>");
    QTest::newRow("wrong root") << QStringLiteral("<DialogBuilder><txt id=\"1\"/></DialogBuilder>");
    QTest::newRow("root in lower case") << QStringLiteral("<dialogbuilderwidget/>");
    QTest::newRow("no root") << QStringLiteral("<?xml version=\"1.0\"?>");
    QTest::newRow("empty") << QString();
}

void tst_DialogBuilder::refusedDocuments()
{
    QFETCH(QString, xml);
    CBaseDialog dialog(QStringLiteral("d"), QString(), nullptr, Qt::WindowFlags());
    CDialogBuilder builder(&dialog);
    QVERIFY(!builder.createFromXml(xml));
    QVERIFY(dialog.findChildren<QWidget*>().isEmpty());
    QVERIFY(!builder.getWidget(1));
    // Without a dialog nothing is built even from a good layout.
    CDialogBuilder orphan(nullptr);
    QVERIFY(!orphan.createFromXml(layout(QStringLiteral("<txt id=\"1\"></txt>"))));
}

void tst_DialogBuilder::rootSizeAndColor()
{
    CBaseDialog dialog(QStringLiteral("d"), QString(), nullptr, Qt::WindowFlags());
    CDialogBuilder builder(&dialog);
    CBaseWidget* container = builder.createFromXml(layout(QString(), QStringLiteral(" w=\"300\" h=\"200\" bg_color=\"bg_gray\"")));
    QVERIFY(container);
    QCOMPARE(container->minimumSize(), QSize(300, 200));
    QCOMPARE(container->maximumSize(), QSize(300, 200));
    QCOMPARE(container->palette().color(QPalette::Window), QColor(240, 240, 240));
    CDialogBuilder second(&dialog);
    container = second.createFromXml(layout(QString(), QStringLiteral(" bg_color=\"no such key\"")));
    QVERIFY(container);
    QCOMPARE(container->palette().color(QPalette::Window), Lumo::CUiResource::defaultColor());
}

void tst_DialogBuilder::widgetKinds()
{
    CBaseDialog dialog(QStringLiteral("d"), QString(), nullptr, Qt::WindowFlags());
    CDialogBuilder builder(&dialog);
    CBaseWidget* container = builder.createFromXml(
        layout(QStringLiteral("<txt id=\"1\" text=\"你好\" text_color=\"text_red\" font=\"font_bold\"/>"
                              "<img id=\"2\" src=\":/nothing.png\" x=\"1\" y=\"2\" w=\"3\" h=\"4\"/>"
                              "<table id=\"3\" x=\"5\" y=\"6\" w=\"70\" h=\"80\"/>"
                              "<chk id=\"4\" txt=\"选项\"/>"
                              "<unknown id=\"5\"/>")));
    QVERIFY(container);
    auto* text = dynamic_cast<CSimpleTextWidget*>(builder.getWidget(1));
    QVERIFY(text);
    QCOMPARE(text->text(), QStringLiteral("你好"));
    QVERIFY(text->font().bold());
    auto* image = dynamic_cast<CImageWidget*>(builder.getWidget(2));
    QVERIFY(image);
    QCOMPARE(image->source(), QStringLiteral(":/nothing.png"));
    auto* table = dynamic_cast<CStandardTable*>(builder.getWidget(3));
    QVERIFY(table);
    QCOMPARE(table->id(), 3);
    QCOMPARE(int(table->menuFlags()), 0x1FF);
    QVERIFY(!builder.getWidget(4)); // check boxes are not reachable through getWidget
    CCheckBox* box = builder.getCheckBox(4);
    QVERIFY(box);
    QCOMPARE(box->checkBox()->text(), QStringLiteral("选项"));
    QVERIFY(!builder.getWidget(5));
    for (QWidget* w : std::initializer_list<QWidget*>{text, image, table, box})
        QCOMPARE(w->parentWidget(), container);
}

void tst_DialogBuilder::idTables()
{
    CBaseDialog dialog(QStringLiteral("d"), QString(), nullptr, Qt::WindowFlags());
    CDialogBuilder builder(&dialog);
    CBaseWidget* container = builder.createFromXml(
        layout(QStringLiteral("<txt id=\"1\" text=\"first\"/><txt id=\"1\" text=\"second\"/>"
                              "<chk id=\"2\" txt=\"box\"/><txt id=\"2\" text=\"text two\"/>"
                              "<txt id=\"3\" text=\"hidden\"/><TXT id=\"3\" text=\"capitals\"/>"
                              "<txt text=\"no id\"/>")));
    QVERIFY(container);
    auto* second = dynamic_cast<CSimpleTextWidget*>(builder.getWidget(1));
    QVERIFY(second);
    QCOMPARE(second->text(), QStringLiteral("second"));
    // The earlier widget with the same id still exists.
    int texts = 0;
    // The text widgets share their base's meta-object, so qobject_cast cannot tell them apart.
    for (auto* w : container->findChildren<CBaseWidget*>()) {
        auto* t = dynamic_cast<CSimpleTextWidget*>(w);
        texts += t && t->text() == QLatin1String("first");
    }
    QCOMPARE(texts, 1);
    QCOMPARE(dynamic_cast<CSimpleTextWidget*>(builder.getWidget(2))->text(), QStringLiteral("text two"));
    QVERIFY(builder.getCheckBox(2));
    QVERIFY(!builder.getWidget(3)); // "TXT" makes nothing and hides the earlier id 3
    QCOMPARE(dynamic_cast<CSimpleTextWidget*>(builder.getWidget(0))->text(), QStringLiteral("no id"));
}

void tst_DialogBuilder::buttonFamily_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<bool>("makesCheckBox");
    QTest::newRow("chk") << "chk" << true;
    QTest::newRow("btn") << "btn" << false;
    QTest::newRow("rad") << "rad" << false;
    QTest::newRow("radio") << "radio" << false;
    QTest::newRow("progress") << "progress" << false;
    QTest::newRow("o|p substring") << "o|p" << false;
}

void tst_DialogBuilder::buttonFamily()
{
    QFETCH(QString, tag);
    QFETCH(bool, makesCheckBox);
    CBaseDialog dialog(QStringLiteral("d"), QString(), nullptr, Qt::WindowFlags());
    CDialogBuilder builder(&dialog);
    // An earlier check box with the same id is overwritten by the entry (null for a non-chk).
    const QString xml = layout(QStringLiteral("<chk id=\"7\" txt=\"earlier\"/><") + tag +
                               QStringLiteral(" id=\"7\" txt=\"later\"><txt id=\"8\"/></") + tag + QStringLiteral(">"));
    if (tag.contains(QLatin1Char('|'))) {
        QVERIFY(!builder.createFromXml(xml)); // not a valid element name: malformed XML
        return;
    }
    CBaseWidget* container = builder.createFromXml(xml);
    QVERIFY(container);
    CCheckBox* box = builder.getCheckBox(7);
    QCOMPARE(box != nullptr, makesCheckBox);
    if (box)
        QCOMPARE(box->checkBox()->text(), QStringLiteral("later"));
    QVERIFY(!builder.getWidget(8)); // children of button-family elements are not visited
    int boxes = 0;
    for (auto* w : container->findChildren<CBaseWidget*>())
        boxes += dynamic_cast<CCheckBox*>(w) != nullptr;
    QCOMPARE(boxes, makesCheckBox ? 2 : 1);
}

void tst_DialogBuilder::hAlign_data()
{
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<int>("flag");
    QTest::newRow("0 left") << " HAlign=\"0\"" << int(Qt::AlignLeft);
    QTest::newRow("1 centre") << " HAlign=\"1\"" << int(Qt::AlignHCenter);
    QTest::newRow("2 right") << " HAlign=\"2\"" << int(Qt::AlignRight);
    QTest::newRow("3 default") << " HAlign=\"3\"" << int(Qt::AlignLeft);
    QTest::newRow("absent default") << "" << int(Qt::AlignLeft);
    QTest::newRow("not a number") << " HAlign=\"x\"" << int(Qt::AlignLeft);
}

void tst_DialogBuilder::hAlign()
{
    QFETCH(QString, attribute);
    QFETCH(int, flag);
    CBaseDialog dialog(QStringLiteral("d"), QString(), nullptr, Qt::WindowFlags());
    CDialogBuilder builder(&dialog);
    QVERIFY(builder.createFromXml(layout(QStringLiteral("<txt id=\"1\"") + attribute + QStringLiteral("/>"))));
    auto* text = dynamic_cast<CSimpleTextWidget*>(builder.getWidget(1));
    QVERIFY(text);
    QCOMPARE(text->flag(), flag);
}

void tst_DialogBuilder::geometry()
{
    CBaseDialog dialog(QStringLiteral("d"), QString(), nullptr, Qt::WindowFlags());
    CDialogBuilder builder(&dialog);
    QVERIFY(builder.createFromXml(layout(QStringLiteral("<txt id=\"1\"/><txt id=\"2\" x=\"90\" y =\"10\" w=\"301\" h=\"81\"/>"
                                                        "<txt id=\"3\" x=\"a\" y=\"-5\" w=\"12.5\" h=\"7\"/>"))));
    QCOMPARE(builder.getWidget(1)->geometry(), QRect(0, 0, 0, 0));
    QCOMPARE(builder.getWidget(2)->geometry(), QRect(90, 10, 301, 81));
    QCOMPARE(builder.getWidget(3)->geometry(), QRect(0, -5, 0, 7));
}

void tst_DialogBuilder::nesting()
{
    CBaseDialog dialog(QStringLiteral("d"), QString(), nullptr, Qt::WindowFlags());
    CDialogBuilder builder(&dialog);
    QVERIFY(builder.createFromXml(layout(QStringLiteral("<txt id=\"1\" x=\"10\" y=\"10\" w=\"100\" h=\"100\">"
                                                        "<img id=\"2\" x=\"3\" y=\"4\" w=\"5\" h=\"6\"/></txt>"))));
    CBaseWidget* image = builder.getWidget(2);
    QVERIFY(image);
    QCOMPARE(image->parentWidget(), builder.getWidget(1));
    QCOMPARE(image->geometry(), QRect(3, 4, 5, 6));
}

void tst_DialogBuilder::noStrayTopLevelWidgets()
{
    const int before = QApplication::topLevelWidgets().size();
    CBaseDialog dialog(QStringLiteral("d"), QString(), nullptr, Qt::WindowFlags());
    CDialogBuilder builder(&dialog);
    QVERIFY(builder.createFromXml(layout(QStringLiteral("<unknown id=\"1\"><txt id=\"2\" text=\"orphan\"/>"
                                                        "<chk id=\"3\"/></unknown><txt id=\"4\"/>"))));
    QCOMPARE(QApplication::topLevelWidgets().size(), before + 1); // the dialog, nothing else
    QVERIFY(!builder.getWidget(1));
    QVERIFY(!builder.getWidget(2));
    QVERIFY(!builder.getCheckBox(3));
    QVERIFY(builder.getWidget(4));
}

QTEST_MAIN(tst_DialogBuilder)
#include "tst_dialogbuilder.moc"
