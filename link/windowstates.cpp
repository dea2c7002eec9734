#include "serialupdata.h"
#include "ui_serialupdata.h"

#include <QMenu>
#include <QMenuBar>

#include <algorithm>
#include <iterator>

namespace {

enum class Label { Connect, Disconnect, Keep };

struct StateControls
{
    SerialUpdata::WindowState state;
    Label label;
    bool open;      // the connect/disconnect button
    bool portBoxes; // port and baud-rate lists
    bool browse;
    bool update;
    bool menuBar;
};

using S = SerialUpdata::WindowState;
// clang-format off
const StateControls kStates[] = {
    // state              label             open   boxes  browse update  menu bar
    {S::Disconnected,  Label::Connect,    true,  true,  false, false, true},
    {S::Connecting,    Label::Keep,       false, false, false, false, true},
    {S::ConnectFailed, Label::Connect,    true,  true,  false, false, true},
    {S::Connected,     Label::Disconnect, true,  false, true,  false, true},
    {S::ReadyToUpdate, Label::Disconnect, true,  false, true,  true,  true},
    {S::Updating,      Label::Keep,       false, false, false, false, false},
    {S::ImageRejected, Label::Keep,       false, false, true,  false, false},
    {S::UpdateRefused, Label::Keep,       true,  false, false, false, false},
    {S::LinkLost,      Label::Connect,    true,  false, false, false, true},
    {S::UpdateEnded,   Label::Keep,       false, false, false, false, false},
};
// clang-format on

} // namespace

// The Option menu follows its own rule: locked from a connection until a disconnect or a port
// error, and while connecting.
void SerialUpdata::enterState(WindowState state)
{
    const StateControls *c =
        std::find_if(std::begin(kStates), std::end(kStates),
                     [state](const StateControls &s) { return s.state == state; });
    Q_ASSERT(c != std::end(kStates));

    if (state == WindowState::Connected)
        languageLocked = true;
    else if (state == WindowState::Disconnected)
        languageLocked = false;

    if (c->label == Label::Connect)
        ui->pBtn_open->setText(tr("连接"));
    else if (c->label == Label::Disconnect)
        ui->pBtn_open->setText(tr("断开连接"));
    ui->pBtn_open->setEnabled(c->open);
    ui->comboBox_COM->setEnabled(c->portBoxes);
    ui->comboBox_Bps->setEnabled(c->portBoxes);
    ui->pBtn_glance->setEnabled(c->browse);
    ui->pBtn_UpGrade->setEnabled(c->update);
    menuBar->setEnabled(c->menuBar);

    const bool languageOpen = !languageLocked && state != WindowState::Connecting;
    if (languageOpen && !optionsMenu->isEnabled()) {
        // A menu keeps its highlighted entry and open sub-menu while disabled; opened again it
        // would take the first choice as closing that stale sub-menu.
        optionsMenu->setActiveAction(nullptr);
        languageMenu->setActiveAction(nullptr);
    }
    optionsMenu->setEnabled(languageOpen);
}
