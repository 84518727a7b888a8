import QtQuick
import Nimbrel.Ui

// Shows the screen the view model names, cross-fading from one to the next.
Item {
    id: root
    objectName: "rootView"

    ScreenSlot {
        objectName: "loginSlot"
        shown: AppViewModel.screen === AppViewModel.Login
        sourceComponent: LoginView {}
    }
    ScreenSlot {
        objectName: "registerSlot"
        shown: AppViewModel.screen === AppViewModel.Register
        sourceComponent: RegisterView {}
    }
    ScreenSlot {
        objectName: "homeSlot"
        shown: AppViewModel.screen === AppViewModel.Home
        sourceComponent: HomeView {}
    }
}
