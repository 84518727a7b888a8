import QtQuick
import Nimbrel.Ui

// Shows the screen the view model names, cross-fading from one to the next. Screens are loaded by
// name when first shown, so starting up compiles only the one that is shown first.
Item {
    id: root
    objectName: "rootView"

    ScreenSlot {
        objectName: "loginSlot"
        shown: AppViewModel.screen === AppViewModel.Login
        source: "LoginView.qml"
    }
    ScreenSlot {
        objectName: "registerSlot"
        shown: AppViewModel.screen === AppViewModel.Register
        source: "RegisterView.qml"
    }
    ScreenSlot {
        objectName: "homeSlot"
        shown: AppViewModel.screen === AppViewModel.Home
        source: "HomeView.qml"
    }
}
