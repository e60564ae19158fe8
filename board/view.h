#pragma once
// Which pages a request gets: decided once, where the request is routed
// (board/views/phone.h, view_of), and handed to what builds its reply.

namespace board {

enum class View {
    Described,  // the board's pages as stored, byte for byte
    ChosenPc,   // the same, for a browser that chose them over the phone view
                // ("/?pc", the VIEW cookie "pc"): its login page also links back
    Phone,      // the phone view (board/views/phone.h)
};

}  // namespace board
