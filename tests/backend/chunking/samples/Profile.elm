module Page.Profile exposing (Model, init, view)

import Html exposing (Html, div, text)
import Html.Attributes as Attr
import Api.User


{-| The state of the profile page.
-}
type alias Model =
    { user : Maybe Api.User.User
    , loading : Bool
    }


type Msg
    = Loaded Api.User.User
    | Failed


{-| Starts loading the profile.
-}
init : String -> ( Model, Cmd Msg )
init userId =
    ( { user = Nothing, loading = True }, Api.User.fetch userId Loaded )


view : Model -> Html Msg
view model =
    div [ Attr.class "profile" ] [ text (displayName model) ]
