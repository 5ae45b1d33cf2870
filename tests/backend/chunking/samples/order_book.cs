using System;
using System.Collections.Generic;
using static System.Math;

namespace Shop.Orders
{
    /// <summary>
    /// Keeps the orders of one customer.
    /// </summary>
    public class OrderBook : IDisposable
    {
        private readonly List<Order> orders = new List<Order>();

        public OrderBook(string customer) { Customer = customer; }

        public string Customer { get; }

        // Adds an order and logs it.
        public void Add(Order order, int count = 1)
        {
            orders.Add(order);
            Logger.Info($"added {order.Id}");
            Validate(order).Check();
        }

        public void Dispose() => orders.Clear();
    }

    public interface IShipper
    {
        void Ship(Order order);
    }

    public record Order(int Id, decimal Total);
}
