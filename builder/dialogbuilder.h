#pragma once

#include <QMap>
#include <QString>

class QDomElement;
class QWidget;

namespace Lumo {

class CBaseDialog;
class CBaseWidget;
class CCheckBox;

// Turns a "DialogBuilderWidget" layout text into a container of absolutely placed widgets and
// remembers them by id. GUI thread only. Widgets belong to their Qt parents, never to the builder.
class CDialogBuilder {
public:
    explicit CDialogBuilder(CBaseDialog* dialog);
    virtual ~CDialogBuilder();

    // The container (a child of the dialog), or null for malformed XML, a root element of
    // another name, or no dialog.
    CBaseWidget* createFromXml(const QString& xml);
    // The widget made for id from a txt, img or table element; null when there is none.
    CBaseWidget* getWidget(int id) const;
    // The check box made for id from a chk element; null when there is none.
    CCheckBox* getCheckBox(int id) const;

private:
    void createChildren(const QDomElement& element, QWidget* parent);
    void createButtonWidget(const QDomElement& element, QWidget* parent);
    CBaseWidget* createWidget(const QDomElement& element, QWidget* parent);

    CBaseDialog* m_dialog;
    QMap<int, CBaseWidget*> m_widgets;
    QMap<int, CCheckBox*> m_checkBoxes;
};

} // namespace Lumo
