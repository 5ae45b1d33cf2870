defmodule Shop.Cart do
  @moduledoc """
  A shopping cart kept in an agent.
  """

  alias Shop.{Item, Price}
  import Ecto.Query, only: [from: 2]
  require Logger

  @doc "Adds an item to the cart."
  def add(cart, %Item{} = item, qty \\ 1) do
    Logger.info("adding #{item.sku}")
    cart
    |> Map.update(:items, [item], &[item | &1])
    |> recalc()
  end

  defp recalc(cart), do: %{cart | total: Price.sum(cart.items)}
end
